# Toolchain for the 64-bit Windows build (x64) with mingw-w64; the tests run
# under 64-bit wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KVS_MINGW_PREFIX x86_64-w64-mingw32)
set(KVS_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
