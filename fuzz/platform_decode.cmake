# The simulated platform's parsers of untrusted bytes, through CryptDecodeObjectEx
# and CryptMsgUpdate.
probe_fuzz_target(platform_decode_fuzz PLATFORM
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/platform_decode_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/process_state.cpp
  LIBS probe_pinned_test)
