# VerifySigner: the policy gates and the trust gate in a simulated world.
probe_unit_test(signer_policy_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/signer_policy_test.cpp)
