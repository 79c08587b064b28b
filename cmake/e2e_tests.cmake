# End-to-end tests of the real Windows exe, run from the host build: the exe
# under Wine in a private prefix, and what the file itself must be. The exes
# come from the Windows builds; the host build does not make them.
#
# The shipped exe is the 32-bit one (windows-i686): its shape, size, imports and
# resources are checked wherever the tests run. Every test that runs a Windows
# program runs once per width: against the windows-i686 build in 32-bit prefixes
# (e2e.*) and against the windows-x86_64 build of the same source in 64-bit
# prefixes (e2e64.*). A width this host cannot execute, or that PROBE_WINE_ARCH
# leaves out, skips its tests with the reason (scripts/wine_env.sh decides).
set(PROBE_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows-i686" CACHE PATH
    "Build directory of the windows-i686 preset, whose platform_probe.exe the end-to-end tests run")
set(PROBE_WINDOWS64_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows-x86_64" CACHE PATH
    "Build directory of the windows-x86_64 preset, the same tests' 64-bit Windows programs")
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

add_test(NAME exe.size_and_imports
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/exe_shape.sh budget ${PROBE_WINDOWS_EXE}
                 "${PROBE_MINGW_OBJDUMP}" ${PROBE_EXE_SIZE_LIMIT} ${PROBE_EXE_ALLOWED_IMPORTS})
add_test(NAME exe.resources
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/exe_shape.sh resources ${PROBE_WINDOWS_EXE}
                 "${PROBE_MINGW_WINDRES}" ${PROBE_VERSION_QUAD})
set_tests_properties(exe.size_and_imports exe.resources PROPERTIES
                     LABELS size TIMEOUT 60 SKIP_RETURN_CODE 77)
# A launcher's own CMake project takes the caller library by add_subdirectory
# and builds at both widths. Static like the checks above (nothing runs), so
# the sanitizer and 32-bit passes leave it out with them.
add_test(NAME launcher.add_subdirectory
         COMMAND ${BASH_PROGRAM} ${PROJECT_SOURCE_DIR}/tests/launcher/run.sh
                 ${CMAKE_CURRENT_BINARY_DIR}/launcher)
set_tests_properties(launcher.add_subdirectory PROPERTIES LABELS size TIMEOUT 300 SKIP_RETURN_CODE 77)

# One pass per width: PROBE_E2E_NAME prefixes the tests' names, work
# directories and locks; PROBE_E2E_BUILD is the Windows build they run;
# PROBE_E2E_ARCH the Wine architecture of their prefixes.
foreach(probe_e2e_width win32 win64)
  if(probe_e2e_width STREQUAL win32)
    set(PROBE_E2E_NAME e2e)
    set(PROBE_E2E_BUILD ${PROBE_WINDOWS_BUILD_DIR})
  else()
    set(PROBE_E2E_NAME e2e64)
    set(PROBE_E2E_BUILD ${PROBE_WINDOWS64_BUILD_DIR})
  endif()
  set(PROBE_E2E_ARCH ${probe_e2e_width})
  set(PROBE_E2E_ENV "WINE_ENV_ARCH=${probe_e2e_width}")

  add_test(NAME ${PROBE_E2E_NAME}.wine_smoke
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_DIR}/wine_smoke.sh
                   ${PROBE_E2E_BUILD}/platform_probe.exe
                   ${CMAKE_CURRENT_BINARY_DIR}/${PROBE_E2E_NAME}/wine_smoke)
  set_tests_properties(${PROBE_E2E_NAME}.wine_smoke PROPERTIES
                       LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 300 SKIP_RETURN_CODE 77
                       ENVIRONMENT "${PROBE_E2E_ENV}")

  # The end-to-end scenario matrix under Wine.
  include(${PROJECT_SOURCE_DIR}/cmake/e2e_matrix.cmake)
  # The caller library launchers link, asking real and fake probes under Wine.
  include(${PROJECT_SOURCE_DIR}/cmake/e2e_caller.cmake)
endforeach()
