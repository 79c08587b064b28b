# The caller library's cases under Wine (tests/e2e/caller.sh): one CTest test
# per case, label e2e, in one prefix of their own that a fixture set-up test
# boots and a clean-up test stops. The cases take the prefix in turn, since
# some of them place a cloud library in it.
set(PROBE_E2E_CALLER ${PROJECT_SOURCE_DIR}/tests/e2e/caller.sh)
set(PROBE_E2E_CALLER_WORK ${CMAKE_CURRENT_BINARY_DIR}/e2e/caller)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROBE_E2E_CALLER})

execute_process(COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} list
                OUTPUT_VARIABLE probe_caller_cases RESULT_VARIABLE probe_caller_list_failed)
if(probe_caller_list_failed)
  message(FATAL_ERROR "tests/e2e/caller.sh list failed")
endif()
string(REPLACE "\n" ";" probe_caller_cases "${probe_caller_cases}")

add_test(NAME e2e.caller.setup
         COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} setup ${PROBE_E2E_CALLER_WORK} ${PROBE_WINDOWS_BUILD_DIR})
add_test(NAME e2e.caller.stop COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} stop ${PROBE_E2E_CALLER_WORK})
set_tests_properties(e2e.caller.setup PROPERTIES FIXTURES_SETUP e2e_caller)
set_tests_properties(e2e.caller.stop PROPERTIES FIXTURES_CLEANUP e2e_caller)
set_tests_properties(e2e.caller.setup e2e.caller.stop PROPERTIES
                     LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77 RESOURCE_LOCK e2e_caller)
foreach(name ${probe_caller_cases})
  if(name STREQUAL "")
    continue()
  endif()
  add_test(NAME e2e.caller.${name}
           COMMAND ${BASH_PROGRAM} ${PROBE_E2E_CALLER} run ${name} ${PROBE_E2E_CALLER_WORK}
                   ${PROBE_WINDOWS_BUILD_DIR})
  set_tests_properties(e2e.caller.${name} PROPERTIES
                       LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77
                       FIXTURES_REQUIRED e2e_caller RESOURCE_LOCK e2e_caller)
endforeach()
