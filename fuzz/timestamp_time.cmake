# genTime from arbitrary bytes, both flag values.
probe_fuzz_target(timestamp_time_fuzz SOURCES ${PROJECT_SOURCE_DIR}/fuzz/timestamp_time_fuzz.cpp)

# Writes the seed corpus (fuzz/corpus/timestamp_time/) from tokens built with
# the tests' DER writer: timestamp_time_seeds <directory>.
add_executable(timestamp_time_seeds ${PROJECT_SOURCE_DIR}/fuzz/timestamp_time_seeds.cpp)
target_include_directories(timestamp_time_seeds PRIVATE ${PROJECT_SOURCE_DIR})
