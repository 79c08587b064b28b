# MatchSignerNameChains against stores of chosen content and order.
probe_unit_test(signer_name_chains_test
  SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/signer_name_chains_test.cpp)
