# Beside the release exe: the test-pinned exe, the diagnostic companion, and the
# end-to-end test material (fake runtime libraries, planted trust-library
# names, helper exes, signed fixtures). Included after windows_exe.cmake.
#
#   platform_probe.exe                    release pins (windows_exe.cmake)
#   platform_probe_diag.exe               diagnostic companion, release pins
#   test-pinned/platform_probe.exe        TEST pins: accepts a cloud library
#                                         signed by tests/pki/pinned
#   test-pinned/platform_probe_diag.exe   diagnostic companion, TEST pins
#   e2e/bin/                              fake runtime libraries and helpers
#   e2e/plant/                            crypt32.dll, wintrust.dll, cryptnet.dll,
#                                         cryptbase.dll that leave a marker
#   e2e/fixtures/                         the fake libraries, signed

# A release build (PROBE_RELEASE) has no test pins anywhere in it.
if(NOT PROBE_RELEASE)
  probe_windows_exe(platform_probe_test_pinned PINNED probe_pinned_test
                    OUTPUT_NAME platform_probe OUTPUT_DIRECTORY test-pinned
                    DESCRIPTION "KORVEX Stratoplay platform probe (TEST pins, not for release)")
endif()

# probe_diag_exe(<target> PINNED <table> PINS <text> [OUTPUT_DIRECTORY <dir>])
# The diagnostic companion: the same logic and table as the probe, its own
# entry point, the same kind of manifest and version resource.
function(probe_diag_exe target)
  cmake_parse_arguments(D "" "PINNED;PINS;OUTPUT_DIRECTORY" "" ${ARGN})
  set(PROBE_EXE_NAME platform_probe_diag)
  set(PROBE_FILE_DESCRIPTION "KORVEX Stratoplay platform probe, diagnostic companion (${D_PINS} pins)")
  set(resources ${CMAKE_BINARY_DIR}/resources/${target})
  set(PROBE_MANIFEST_FILE ${resources}/${PROBE_EXE_NAME}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.manifest ${PROBE_MANIFEST_FILE} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.rc ${resources}/${PROBE_EXE_NAME}.rc @ONLY)
  set_source_files_properties(${resources}/${PROBE_EXE_NAME}.rc PROPERTIES
                              OBJECT_DEPENDS ${PROBE_MANIFEST_FILE})
  add_executable(${target} ${PROJECT_SOURCE_DIR}/probe/diag_main.cpp
                 ${resources}/${PROBE_EXE_NAME}.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${PROBE_EXE_NAME}
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${D_OUTPUT_DIRECTORY})
  target_compile_definitions(${target} PRIVATE "PROBE_DIAG_PINS=\"${D_PINS}\"")
  target_link_options(${target} PRIVATE -mconsole)
  target_link_libraries(${target} PRIVATE probe_diag_report probe_logic ${D_PINNED})
endfunction()

probe_diag_exe(platform_probe_diag PINNED probe_pinned_release PINS release)
if(PROBE_RELEASE)
  return()
endif()
probe_diag_exe(platform_probe_diag_test_pinned PINNED probe_pinned_test PINS test
               OUTPUT_DIRECTORY test-pinned)

# --- end-to-end test material --------------------------------------------------
set(PROBE_E2E_SOURCE ${PROJECT_SOURCE_DIR}/tests/e2e)
set(PROBE_E2E_BIN ${CMAKE_BINARY_DIR}/e2e/bin)

# The probe with a trace of the nested candidates its walk judged, on standard
# error, for each pin set: the matrix holds the companion's lines against it.
probe_windows_exe(e2e_traced_probe PINNED probe_pinned_release
                  MAIN ${PROBE_E2E_SOURCE}/traced_probe_main.cpp
                  OUTPUT_NAME platform_probe_traced OUTPUT_DIRECTORY e2e/bin
                  DESCRIPTION "KORVEX Stratoplay platform probe (traced, tests only)")
probe_windows_exe(e2e_traced_probe_test_pinned PINNED probe_pinned_test
                  MAIN ${PROBE_E2E_SOURCE}/traced_probe_main.cpp
                  OUTPUT_NAME platform_probe_traced OUTPUT_DIRECTORY e2e/bin/test-pinned
                  DESCRIPTION "KORVEX Stratoplay platform probe (traced, TEST pins, tests only)")

# Test DLLs and helpers carry their C++ runtime inside (no libstdc++ or libgcc
# DLL to ship beside them under Wine).
function(probe_e2e_binary target kind source)
  cmake_parse_arguments(B "" "OUTPUT_NAME;OUTPUT_DIRECTORY" "DEFINES;LIBS" ${ARGN})
  if(kind STREQUAL "DLL")
    add_library(${target} SHARED ${source})
    set_target_properties(${target} PROPERTIES PREFIX "")
  else()
    add_executable(${target} ${source})
    # wmain: wide command-line arguments.
    target_compile_options(${target} PRIVATE -municode)
    target_link_options(${target} PRIVATE -mconsole -municode)
  endif()
  set_target_properties(${target} PROPERTIES
                        OUTPUT_NAME ${B_OUTPUT_NAME}
                        RUNTIME_OUTPUT_DIRECTORY ${B_OUTPUT_DIRECTORY})
  target_compile_definitions(${target} PRIVATE ${B_DEFINES})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s)
  target_link_libraries(${target} PRIVATE ${B_LIBS})
endfunction()

probe_e2e_binary(e2e_fake_cloud DLL ${PROBE_E2E_SOURCE}/fake_runtime.cpp
                 OUTPUT_NAME fake_cloud OUTPUT_DIRECTORY ${PROBE_E2E_BIN})
probe_e2e_binary(e2e_fake_cloud_no_init2 DLL ${PROBE_E2E_SOURCE}/fake_runtime.cpp
                 OUTPUT_NAME fake_cloud_no_init2 OUTPUT_DIRECTORY ${PROBE_E2E_BIN}
                 DEFINES FAKE_RUNTIME_NO_INITIALIZE2)
probe_e2e_binary(e2e_fake_client DLL ${PROBE_E2E_SOURCE}/fake_runtime.cpp
                 OUTPUT_NAME fake_client OUTPUT_DIRECTORY ${PROBE_E2E_BIN}
                 DEFINES FAKE_RUNTIME_CLIENT)
# A helper DLL that a client copy imports, and that client copy.
probe_e2e_binary(e2e_stp_helper DLL ${PROBE_E2E_SOURCE}/stp_helper.cpp
                 OUTPUT_NAME stphelper OUTPUT_DIRECTORY ${PROBE_E2E_BIN})
probe_e2e_binary(e2e_fake_client_helper DLL ${PROBE_E2E_SOURCE}/fake_runtime.cpp
                 OUTPUT_NAME fake_client_helper OUTPUT_DIRECTORY ${PROBE_E2E_BIN}
                 DEFINES FAKE_RUNTIME_CLIENT FAKE_RUNTIME_USES_HELPER LIBS e2e_stp_helper)
# Every name the probe maps on a run, as tests/e2e/matrix.sh plants them.
foreach(name crypt32 wintrust cryptnet cryptbase bcrypt rsaenh rpcrt4 combase ole32 dbghelp
             imagehlp shell32 shlwapi shcore user32 gdi32 win32u imm32 advapi32 sechost version
             zlib1 uxtheme)
  probe_e2e_binary(e2e_plant_${name} DLL ${PROBE_E2E_SOURCE}/marker_dll.cpp
                   OUTPUT_NAME ${name} OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/e2e/plant)
endforeach()
probe_e2e_binary(e2e_install_certs EXE ${PROBE_E2E_SOURCE}/install_certs.cpp
                 OUTPUT_NAME e2e_install_certs OUTPUT_DIRECTORY ${PROBE_E2E_BIN} LIBS crypt32)
probe_e2e_binary(e2e_plain_load EXE ${PROBE_E2E_SOURCE}/plain_load.cpp
                 OUTPUT_NAME e2e_plain_load OUTPUT_DIRECTORY ${PROBE_E2E_BIN})
probe_e2e_binary(e2e_sigcheck EXE ${PROBE_E2E_SOURCE}/sigcheck.cpp
                 OUTPUT_NAME e2e_sigcheck OUTPUT_DIRECTORY ${PROBE_E2E_BIN} LIBS crypt32 wintrust)

# The signed fixtures, made again whenever a library, a key, a certificate or
# the signing scripts change.
find_program(PROBE_OSSLSIGNCODE osslsigncode NO_CMAKE_FIND_ROOT_PATH)
find_program(PROBE_PYTHON3 python3 NO_CMAKE_FIND_ROOT_PATH)
# RFC 3161 time-stamps without a network need osslsigncode's own time-stamping
# authority (-TSA-certs/-TSA-key/-TSA-time), which Debian 12's 2.5 lacks.
set(probe_osslsigncode_has_tsa FALSE)
if(PROBE_OSSLSIGNCODE)
  execute_process(COMMAND ${PROBE_OSSLSIGNCODE} sign --help
                  OUTPUT_VARIABLE probe_osslsigncode_help ERROR_VARIABLE probe_osslsigncode_help)
  if(probe_osslsigncode_help MATCHES "-TSA-time")
    set(probe_osslsigncode_has_tsa TRUE)
  endif()
endif()
if(PROBE_OSSLSIGNCODE AND PROBE_PYTHON3 AND probe_osslsigncode_has_tsa)
  # The self-test kit signs with a throwaway PKI of its own (scripts/kit.sh).
  set(PROBE_E2E_PKI_DIR "${PROJECT_SOURCE_DIR}/tests/pki/e2e" CACHE PATH
      "The PKI the end-to-end fixtures are signed with")
  file(GLOB PROBE_E2E_PKI CONFIGURE_DEPENDS
       ${PROBE_E2E_PKI_DIR}/*.pem ${PROBE_E2E_PKI_DIR}/*.key
       ${PROBE_TEST_PINS_DIR}/*.pem ${PROBE_TEST_PINS_DIR}/*.key)
  set(fixtures ${CMAKE_BINARY_DIR}/e2e/fixtures)
  add_custom_command(
    OUTPUT ${fixtures}/manifest.txt
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${fixtures}
    COMMAND ${CMAKE_COMMAND} -E env "E2E_PKI_DIR=${PROBE_E2E_PKI_DIR}" "E2E_PINNED_DIR=${PROBE_TEST_PINS_DIR}"
            bash ${PROBE_E2E_SOURCE}/make_fixtures.sh ${PROBE_E2E_BIN} ${fixtures}
    DEPENDS e2e_fake_cloud e2e_fake_cloud_no_init2 e2e_fake_client e2e_fake_client_helper
            ${PROBE_E2E_SOURCE}/make_fixtures.sh ${PROBE_E2E_SOURCE}/legacy_tsa.py ${PROBE_E2E_PKI}
    COMMENT "Signing the end-to-end fixtures"
    VERBATIM)
  add_custom_target(e2e_fixtures ALL DEPENDS ${fixtures}/manifest.txt)
else()
  message(WARNING "osslsigncode with -TSA-time, or python3, not found: the end-to-end "
                  "fixtures are not made and the end-to-end matrix cannot run")
endif()
