# PlatformHash: each step of a digest through advapi32, and each one failing.
probe_unit_test(platform_hash_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/platform_hash_test.cpp)
