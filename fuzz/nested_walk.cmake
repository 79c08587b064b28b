# The nested-signature walk over arbitrary signer records, with the real signer
# check behind it and the simulated platform under it.
probe_fuzz_target(nested_walk_fuzz PLATFORM
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/nested_walk_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/process_state.cpp
  LIBS probe_pinned_test)
