# 32-bit Windows: the product, as it ships.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PROBE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_toolchain.cmake)
