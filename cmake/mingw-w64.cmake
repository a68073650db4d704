# The part every MinGW-w64 toolchain file here shares. The including file
# sets AUTOEXP_MINGW_TARGET (x86_64-w64-mingw32 or i686-w64-mingw32) and
# AUTOEXP_MINGW_THREADS: "win32" for the programs we ship, whose runtime then
# imports nothing newer than Windows XP has; "posix" for the test programs,
# because GoogleTest needs std::mutex, which only that variant has (it links
# winpthreads in, and with it GetTickCount64, a Vista function).
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${AUTOEXP_MINGW_TARGET}")
set(CMAKE_C_COMPILER ${AUTOEXP_MINGW_TARGET}-gcc-${AUTOEXP_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${AUTOEXP_MINGW_TARGET}-g++-${AUTOEXP_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${AUTOEXP_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${AUTOEXP_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program stands alone: no MinGW runtime DLL has to sit beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through scripts/wine-run, in a Wine prefix of the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
