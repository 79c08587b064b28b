# The caller library's path rules and its reading of the probe's output, which
# need no Windows (the process handling is tested under Wine).
add_subdirectory(${PROJECT_SOURCE_DIR}/caller ${PROJECT_BINARY_DIR}/caller)
probe_unit_test(caller_rules_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/caller_rules_test.cpp
  LIBS probe_caller_rules)
