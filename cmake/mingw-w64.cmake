# Shared part of the Windows toolchain files: mingw-w64 for the target named
# by KVS_MINGW_PREFIX, tests run under wine through cmake/wine-run.sh with the
# loader named by KVS_WINE_BITS. The -posix compilers provide the threading
# (std::mutex) that GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KVS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KVS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KVS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest puts this before every test command: wine of the target's width,
# quiet and headless, in a prefix of this build directory's own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${KVS_WINE_BITS};${CMAKE_BINARY_DIR}/wineprefix")
