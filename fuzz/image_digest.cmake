# The PE reader behind the Authenticode image digest over arbitrary files, and
# the digest computed through a handle in the simulated world.
probe_fuzz_target(image_digest_fuzz PLATFORM
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/image_digest_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/process_state.cpp
  LIBS probe_pinned_test)
