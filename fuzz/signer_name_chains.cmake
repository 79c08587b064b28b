# The signer-name chains over small arbitrary certificate stores.
probe_fuzz_target(signer_name_chains_fuzz PLATFORM
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/signer_name_chains_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/process_state.cpp
  LIBS probe_pinned_test)
