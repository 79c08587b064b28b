# End-to-end tests of the real Windows exe, run from the host build: the exe
# under Wine in a private prefix, and what the file itself must be. The exe
# comes from the windows-i686 build; the host build does not make it.
set(PROBE_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows-i686" CACHE PATH
    "Build directory of the windows-i686 preset, whose platform_probe.exe the end-to-end tests run")
set(PROBE_WINDOWS_EXE "${PROBE_WINDOWS_BUILD_DIR}/platform_probe.exe")

set(PROBE_EXE_SIZE_LIMIT 65536)
# What the platform maps from its own protected copies for every process; the
# shell and the trust libraries are loaded at run time and must never appear here.
set(PROBE_EXE_ALLOWED_IMPORTS KERNEL32.dll msvcrt.dll)

find_program(BASH_PROGRAM bash REQUIRED)
find_program(PROBE_MINGW_OBJDUMP i686-w64-mingw32-objdump)
find_program(PROBE_MINGW_WINDRES i686-w64-mingw32-windres)
set(PROBE_E2E_DIR ${PROJECT_SOURCE_DIR}/tests/e2e)
# The version the exe's resources must carry (as cmake/windows_exe.cmake sets it).
set(PROBE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(PROBE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
endif()

add_test(NAME e2e.wine_smoke
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/wine_smoke.sh
                 ${PROBE_WINDOWS_EXE} ${CMAKE_CURRENT_BINARY_DIR}/e2e/wine_smoke)
set_tests_properties(e2e.wine_smoke PROPERTIES
                     LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77)

add_test(NAME exe.size_and_imports
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/exe_shape.sh budget ${PROBE_WINDOWS_EXE}
                 "${PROBE_MINGW_OBJDUMP}" ${PROBE_EXE_SIZE_LIMIT} ${PROBE_EXE_ALLOWED_IMPORTS})
add_test(NAME exe.resources
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/exe_shape.sh resources ${PROBE_WINDOWS_EXE}
                 "${PROBE_MINGW_WINDRES}" ${PROBE_VERSION_QUAD})
set_tests_properties(exe.size_and_imports exe.resources PROPERTIES
                     LABELS size TIMEOUT 60 SKIP_RETURN_CODE 77)

# The end-to-end scenario matrix under Wine.
include(${PROJECT_SOURCE_DIR}/cmake/e2e_matrix.cmake)

# The caller library launchers link, asking real and fake probes under Wine.
include(${PROJECT_SOURCE_DIR}/cmake/e2e_caller.cmake)
