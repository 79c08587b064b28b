probe_unit_test(process_guard_test SOURCES
  ${PROJECT_SOURCE_DIR}/tests/unit/process_guard_test.cpp)
