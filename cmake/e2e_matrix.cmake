# The end-to-end scenario matrix (tests/e2e/matrix.sh, table in
# tests/e2e/scenarios.sh): the exes and signed fixtures of one Windows build
# under Wine, one CTest test per scenario, label e2e. Included by
# cmake/e2e_tests.cmake once per width (PROBE_E2E_NAME, PROBE_E2E_BUILD,
# PROBE_E2E_ARCH, PROBE_E2E_ENV).
#
# Each group (win7, win10) has a private prefix booted once per test run by a
# fixture set-up test and stopped by its clean-up test; its scenarios take the
# prefix in turn (RESOURCE_LOCK), and the groups run side by side.
set(PROBE_E2E_MATRIX ${PROJECT_SOURCE_DIR}/tests/e2e/matrix.sh)
set(probe_e2e_work ${CMAKE_CURRENT_BINARY_DIR}/${PROBE_E2E_NAME}/matrix)
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
  set(lock ${PROBE_E2E_NAME}_${group})
  add_test(NAME ${PROBE_E2E_NAME}.matrix.${group}.setup
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} setup ${group} ${probe_e2e_work}
                   ${PROBE_E2E_BUILD})
  add_test(NAME ${PROBE_E2E_NAME}.matrix.${group}.stop
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} stop ${group} ${probe_e2e_work})
  set_tests_properties(${PROBE_E2E_NAME}.matrix.${group}.setup PROPERTIES
                       FIXTURES_SETUP ${lock} RESOURCE_LOCK ${lock})
  set_tests_properties(${PROBE_E2E_NAME}.matrix.${group}.stop PROPERTIES
                       FIXTURES_CLEANUP ${lock} RESOURCE_LOCK ${lock})
  set_tests_properties(${PROBE_E2E_NAME}.matrix.${group}.setup
                       ${PROBE_E2E_NAME}.matrix.${group}.stop PROPERTIES
                       LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 300 SKIP_RETURN_CODE 77
                       ENVIRONMENT "${PROBE_E2E_ENV}")
endforeach()

foreach(entry ${probe_e2e_scenarios})
  if(entry STREQUAL "")
    continue()
  endif()
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 group)
  list(GET entry 1 name)
  set(lock ${PROBE_E2E_NAME}_${group})
  add_test(NAME ${PROBE_E2E_NAME}.matrix.${group}.${name}
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} run ${group} ${name} ${probe_e2e_work}
                   ${PROBE_E2E_BUILD})
  set_tests_properties(${PROBE_E2E_NAME}.matrix.${group}.${name} PROPERTIES
                       LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 120 SKIP_RETURN_CODE 77
                       FIXTURES_REQUIRED ${lock} RESOURCE_LOCK ${lock}
                       ENVIRONMENT "${PROBE_E2E_ENV}")
endforeach()

# What Wine's own CryptoAPI and WinTrust say about the signed fixtures.
set(lock ${PROBE_E2E_NAME}_win7)
add_test(NAME ${PROBE_E2E_NAME}.matrix.win7.fixture_facts
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_MATRIX} facts win7 ${probe_e2e_work}
                 ${PROBE_E2E_BUILD})
set_tests_properties(${PROBE_E2E_NAME}.matrix.win7.fixture_facts PROPERTIES
                     LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 120 SKIP_RETURN_CODE 77
                     FIXTURES_REQUIRED ${lock} RESOURCE_LOCK ${lock}
                     ENVIRONMENT "${PROBE_E2E_ENV}")
