# Reading genTime from a time-stamp token's DER bytes.
probe_unit_test(timestamp_time_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/timestamp_time_test.cpp)
