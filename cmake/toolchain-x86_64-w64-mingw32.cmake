# 64-bit Windows: the same source built as a test vehicle, so that every test
# that runs a Windows program can run where 32-bit programs cannot. Never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PROBE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_toolchain.cmake)
