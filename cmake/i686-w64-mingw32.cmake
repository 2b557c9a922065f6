# Toolchain for the 32-bit Windows build (x86) with mingw-w64; the tests run
# under 32-bit wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KVS_MINGW_PREFIX i686-w64-mingw32)
set(KVS_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
