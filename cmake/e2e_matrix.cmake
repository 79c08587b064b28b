# The end-to-end scenario matrix (tests/e2e/matrix.sh, table in
# tests/e2e/scenarios.sh): the exes and signed fixtures of the windows-i686
# build under Wine, one CTest test per scenario, label e2e.
#
# Each group (win7, win10) has a private prefix booted once per test run by a
# fixture set-up test and stopped by its clean-up test; its scenarios take the
# prefix in turn (RESOURCE_LOCK), and the two groups run side by side.
if(NOT DEFINED PROBE_WINDOWS_BUILD_DIR)
  set(PROBE_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows-i686" CACHE PATH
      "Build directory of the windows-i686 preset")
endif()
find_program(BASH_PROGRAM bash REQUIRED)

set(PROBE_E2E_MATRIX ${PROJECT_SOURCE_DIR}/tests/e2e/matrix.sh)
set(PROBE_E2E_WORK ${CMAKE_CURRENT_BINARY_DIR}/e2e/matrix)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROBE_E2E_MATRIX} ${PROJECT_SOURCE_DIR}/tests/e2e/scenarios.sh)

execute_process(COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} list
                OUTPUT_VARIABLE probe_e2e_scenarios
                RESULT_VARIABLE probe_e2e_list_failed)
if(probe_e2e_list_failed)
  message(FATAL_ERROR "tests/e2e/matrix.sh list failed")
endif()
string(REPLACE "\n" ";" probe_e2e_scenarios "${probe_e2e_scenarios}")

foreach(group win7 win10)
  add_test(NAME e2e.matrix.${group}.setup
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} setup ${group} ${PROBE_E2E_WORK}
                   ${PROBE_WINDOWS_BUILD_DIR})
  add_test(NAME e2e.matrix.${group}.stop
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} stop ${group} ${PROBE_E2E_WORK})
  set_tests_properties(e2e.matrix.${group}.setup PROPERTIES
                       FIXTURES_SETUP e2e_${group} RESOURCE_LOCK e2e_${group})
  set_tests_properties(e2e.matrix.${group}.stop PROPERTIES
                       FIXTURES_CLEANUP e2e_${group} RESOURCE_LOCK e2e_${group})
  set_tests_properties(e2e.matrix.${group}.setup e2e.matrix.${group}.stop PROPERTIES
                       LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()

foreach(entry ${probe_e2e_scenarios})
  if(entry STREQUAL "")
    continue()
  endif()
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 group)
  list(GET entry 1 name)
  add_test(NAME e2e.matrix.${group}.${name}
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} run ${group} ${name} ${PROBE_E2E_WORK}
                   ${PROBE_WINDOWS_BUILD_DIR})
  set_tests_properties(e2e.matrix.${group}.${name} PROPERTIES
                       LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77
                       FIXTURES_REQUIRED e2e_${group} RESOURCE_LOCK e2e_${group})
endforeach()

# What Wine's own CryptoAPI and WinTrust say about the signed fixtures.
add_test(NAME e2e.matrix.win7.fixture_facts
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} facts win7 ${PROBE_E2E_WORK}
                 ${PROBE_WINDOWS_BUILD_DIR})
set_tests_properties(e2e.matrix.win7.fixture_facts PROPERTIES
                     LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77
                     FIXTURES_REQUIRED e2e_win7 RESOURCE_LOCK e2e_win7)
