# The proofs a nested signature owes, and the PE reader behind its image digest.
probe_unit_test(nested_binding_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/nested_binding_test.cpp)
