# The shipped 64-bit program: win32-threads variant of Debian's MinGW-w64
# (package g++-mingw-w64-x86-64-win32).
set(AUTOEXP_MINGW_TARGET x86_64-w64-mingw32)
set(AUTOEXP_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
