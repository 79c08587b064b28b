# Windows with mingw-w64 (win32 threads flavour): a self-contained, stripped
# console exe whose only imports are system DLLs. Included by the toolchain file
# of each width, which sets CMAKE_SYSTEM_PROCESSOR and PROBE_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 flavour by name: the unsuffixed names follow Debian's alternatives,
# which may point at the posix flavour (and its libwinpthread dependency).
find_program(CMAKE_C_COMPILER NAMES ${PROBE_MINGW_TRIPLET}-gcc-win32 ${PROBE_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PROBE_MINGW_TRIPLET}-g++-win32 ${PROBE_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PROBE_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${PROBE_MINGW_TRIPLET}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${PROBE_MINGW_TRIPLET}-ranlib REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${PROBE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No exceptions and no RTTI anywhere in the program; without exceptions the
# unwind tables only cost bytes. Each function and object in its own section
# so that the linker can drop what nothing reaches.
set(CMAKE_CXX_FLAGS_INIT
    "-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "-fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections")

# Static C++ runtime and libgcc (no libstdc++/libgcc DLL beside the exe),
# unreachable sections dropped, symbols stripped, ASLR and DEP on.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s -Wl,--dynamicbase -Wl,--nxcompat")
