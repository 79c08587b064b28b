# Benchmarks: measurements that print figures, never part of the default test
# run. Included by the host build.
#
#   -DPROBE_BENCH=ON  builds the Google Benchmark programs and enables the tests
#                     labelled "bench"; without it they are registered but
#                     DISABLED, so a plain ctest run lists them as not run and
#                     runs none of them.
#
#   bench.timestamp_time   FindTimestampTime, 1 KiB to 16 MiB, vs a byte checksum
#   bench.nested_walk      the nested-signature walk over growing signer records
#   bench.startup          scripts/bench_startup.sh: the exe under Wine against
#                          the floors built by cmake/bench_windows.cmake
#
# Run them with: ctest --test-dir <build> -L bench --verbose
# The benchmark programs and the logic they measure are compiled with
# PROBE_BENCH_OPTIMIZE (default -O2) whatever the build type, so that a Debug
# build still measures optimised code.
option(PROBE_BENCH "Build the benchmarks and enable the tests labelled bench" OFF)
set(PROBE_BENCH_OPTIMIZE "-O2" CACHE STRING "Optimisation flags of the benchmark programs")
separate_arguments(probe_bench_optimize UNIX_COMMAND "${PROBE_BENCH_OPTIMIZE}")

if(NOT DEFINED PROBE_WINDOWS_BUILD_DIR)
  set(PROBE_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows-i686" CACHE PATH
      "Build directory of the windows-i686 preset")
endif()
find_program(BASH_PROGRAM bash REQUIRED)

if(PROBE_BENCH)
  find_package(benchmark REQUIRED)

  # The logic, the simulated Windows and the test support, compiled once more
  # with the benchmark's optimisation (the default host build is Debug).
  file(GLOB bench_logic_sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/runtime/*.cpp
       ${PROJECT_SOURCE_DIR}/secureload/*.cpp
       ${PROJECT_SOURCE_DIR}/probe/probe.cpp
       ${PROJECT_SOURCE_DIR}/probe/process_guard.cpp
       ${PROJECT_SOURCE_DIR}/platform/sim/*.cpp
       ${PROJECT_SOURCE_DIR}/tests/support/*.cpp)
  add_library(bench_logic OBJECT ${bench_logic_sources})
  target_include_directories(bench_logic PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(bench_logic PRIVATE ${probe_bench_optimize})
  target_compile_definitions(bench_logic PRIVATE NDEBUG)

  function(probe_benchmark name source)
    add_executable(${name} ${source})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${probe_bench_optimize})
    target_compile_definitions(${name} PRIVATE NDEBUG)
    # Objects, not an archive: the simulated world registers its parts from
    # static objects that nothing names.
    target_link_libraries(${name} PRIVATE bench_logic probe_pinned_test benchmark::benchmark)
  endfunction()

  probe_benchmark(timestamp_time_bench ${PROJECT_SOURCE_DIR}/bench/timestamp_time_bench.cpp)
  probe_benchmark(nested_walk_bench ${PROJECT_SOURCE_DIR}/bench/nested_walk_bench.cpp)
  set(bench_timestamp_command $<TARGET_FILE:timestamp_time_bench>)
  set(bench_nested_command $<TARGET_FILE:nested_walk_bench>)
else()
  set(bench_timestamp_command timestamp_time_bench)
  set(bench_nested_command nested_walk_bench)
endif()

# Three repetitions each; the summaries use the median.
add_test(NAME bench.timestamp_time
         COMMAND ${bench_timestamp_command} --benchmark_repetitions=3)
add_test(NAME bench.nested_walk
         COMMAND ${bench_nested_command} --benchmark_repetitions=3)
add_test(NAME bench.startup
         COMMAND ${BASH_PROGRAM} ${PROJECT_SOURCE_DIR}/scripts/bench_startup.sh
                 --windows-build ${PROBE_WINDOWS_BUILD_DIR}
                 --work ${CMAKE_CURRENT_BINARY_DIR}/bench-startup --diagnose)
set_tests_properties(bench.timestamp_time bench.nested_walk bench.startup PROPERTIES
                     LABELS bench TIMEOUT 1800 SKIP_RETURN_CODE 77)
if(NOT PROBE_BENCH)
  set_tests_properties(bench.timestamp_time bench.nested_walk bench.startup PROPERTIES
                       DISABLED TRUE)
endif()
