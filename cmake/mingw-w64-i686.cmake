# The Windows test programs for the shipped 32-bit program: 32-bit,
# POSIX-threads variant of Debian's MinGW-w64 (package
# g++-mingw-w64-i686-posix); run under 32-bit Wine (wine32:i386).
set(AUTOEXP_MINGW_TARGET i686-w64-mingw32)
set(AUTOEXP_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
