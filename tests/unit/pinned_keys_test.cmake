# The compiled pins against the certificates they come from: the release table
# (as the release exe links it) and the test table every other unit test links.
probe_unit_test(pinned_keys_release_test
  SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/pinned_keys_test.cpp
  LIBS probe_pinned_release)
target_compile_definitions(pinned_keys_release_test PRIVATE
  PINNED_CERT_DIR="${PROJECT_SOURCE_DIR}/pki/release" PINNED_RELEASE=1
  RELEASE_CERT_DIR="${PROJECT_SOURCE_DIR}/pki/release")

probe_unit_test(pinned_keys_test
  SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/pinned_keys_test.cpp)
target_compile_definitions(pinned_keys_test PRIVATE
  PINNED_CERT_DIR="${PROJECT_SOURCE_DIR}/tests/pki/pinned" PINNED_RELEASE=0
  RELEASE_CERT_DIR="${PROJECT_SOURCE_DIR}/pki/release")
