# The caller library's cases under Wine (tests/e2e/caller.sh): one CTest test
# per case, label e2e, in one prefix of their own that a fixture set-up test
# boots and a clean-up test stops. The cases take the prefix in turn, since
# some of them place a cloud library in it. Included by cmake/e2e_tests.cmake
# once per width (PROBE_E2E_NAME, PROBE_E2E_BUILD, PROBE_E2E_ARCH, PROBE_E2E_ENV).
set(PROBE_E2E_CALLER ${PROJECT_SOURCE_DIR}/tests/e2e/caller.sh)
set(probe_caller_work ${CMAKE_CURRENT_BINARY_DIR}/${PROBE_E2E_NAME}/caller)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROBE_E2E_CALLER})

execute_process(COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} list ${PROBE_E2E_ARCH}
                OUTPUT_VARIABLE probe_caller_cases RESULT_VARIABLE probe_caller_list_failed)
if(probe_caller_list_failed)
  message(FATAL_ERROR "tests/e2e/caller.sh list failed")
endif()
string(REPLACE "\n" ";" probe_caller_cases "${probe_caller_cases}")

set(fixture ${PROBE_E2E_NAME}_caller)
add_test(NAME ${PROBE_E2E_NAME}.caller.setup
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} setup ${probe_caller_work} ${PROBE_E2E_BUILD})
add_test(NAME ${PROBE_E2E_NAME}.caller.stop
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} stop ${probe_caller_work})
set_tests_properties(${PROBE_E2E_NAME}.caller.setup PROPERTIES FIXTURES_SETUP ${fixture})
set_tests_properties(${PROBE_E2E_NAME}.caller.stop PROPERTIES FIXTURES_CLEANUP ${fixture})
set_tests_properties(${PROBE_E2E_NAME}.caller.setup ${PROBE_E2E_NAME}.caller.stop PROPERTIES
                     LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 300 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK ${fixture} ENVIRONMENT "${PROBE_E2E_ENV}")
foreach(name ${probe_caller_cases})
  if(name STREQUAL "")
    continue()
  endif()
  add_test(NAME ${PROBE_E2E_NAME}.caller.${name}
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} run ${name} ${probe_caller_work}
                   ${PROBE_E2E_BUILD})
  set_tests_properties(${PROBE_E2E_NAME}.caller.${name} PROPERTIES
                       LABELS "e2e;${PROBE_E2E_ARCH}" TIMEOUT 120 SKIP_RETURN_CODE 77
                       FIXTURES_REQUIRED ${fixture} RESOURCE_LOCK ${fixture}
                       ENVIRONMENT "${PROBE_E2E_ENV}")
endforeach()
