# The caller library's path rules and its reading of the probe's output, which
# need no Windows (the process handling is tested under Wine).
add_library(probe_caller_rules STATIC ${PROJECT_SOURCE_DIR}/caller/probe_caller_rules.cpp)
target_include_directories(probe_caller_rules PUBLIC ${PROJECT_SOURCE_DIR})
probe_unit_test(caller_rules_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/caller_rules_test.cpp
  LIBS probe_caller_rules)
