# Toolchain for the 32-bit Windows build with mingw-w64; the tests run under
# wine through cmake/wine-run.sh. The -posix compilers provide the threading
# (std::mutex) that GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KVS_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KVS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KVS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KVS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest puts this before every test command: wine, quiet and headless, in a
# prefix of this build directory's own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
