# The Windows test programs: 64-bit, POSIX-threads variant of Debian's
# MinGW-w64 (package g++-mingw-w64-x86-64-posix); run under Wine (wine64)
# against the shipped 64-bit program.
set(AUTOEXP_MINGW_TARGET x86_64-w64-mingw32)
set(AUTOEXP_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
