probe_unit_test(system_library_test SOURCES
  ${PROJECT_SOURCE_DIR}/tests/unit/system_library_test.cpp)
