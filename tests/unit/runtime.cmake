probe_unit_test(runtime_test SOURCES
  ${PROJECT_SOURCE_DIR}/tests/unit/runtime_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/unit/runtime_doubles.cpp)
