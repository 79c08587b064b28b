probe_unit_test(verified_load_test SOURCES
  ${PROJECT_SOURCE_DIR}/tests/unit/verified_load_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/unit/verify_signer_double.cpp)
