probe_unit_test(file_signature_test SOURCES
  ${PROJECT_SOURCE_DIR}/tests/unit/file_signature_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/unit/verify_signer_double.cpp
  ${PROJECT_SOURCE_DIR}/tests/unit/nested_binding_double.cpp)
