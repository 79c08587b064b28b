# MatchCertificate against the test pin.
probe_unit_test(pinned_chain_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/pinned_chain_test.cpp)
