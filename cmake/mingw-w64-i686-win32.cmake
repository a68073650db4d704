# The shipped 32-bit program, the one that runs on every Windows from XP on:
# win32-threads variant of Debian's MinGW-w64 (package
# g++-mingw-w64-i686-win32). The test command runs the Windows suites
# against it under 32-bit Wine, in a 64-bit and in a pure 32-bit prefix
# (cmake/mingw-w64-i686.cmake builds them), and checks its image
# (tests/check_windows_image.sh).
set(AUTOEXP_MINGW_TARGET i686-w64-mingw32)
set(AUTOEXP_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
