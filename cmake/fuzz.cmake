# libFuzzer targets (clang only): configure with -DPROBE_FUZZ=ON
# -DCMAKE_CXX_COMPILER=clang++-14, usually with -DPROBE_BUILD_TESTS=OFF.
# scripts/fuzz_campaign.sh builds them in build/fuzz and runs them.
#
# Each fuzz/<job>.cmake declares its own targets with probe_fuzz_target();
# target names end in _fuzz, which is how the campaign script finds them.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "PROBE_FUZZ needs clang with libFuzzer, e.g. -DCMAKE_CXX_COMPILER=clang++-14")
endif()

# Sanitizers abort on the first report so that libFuzzer keeps the input.
set(PROBE_FUZZ_SANITIZE address,undefined)
set(PROBE_FUZZ_COMPILE_OPTIONS -g -O1 -fno-omit-frame-pointer
    -fsanitize=${PROBE_FUZZ_SANITIZE} -fno-sanitize-recover=all)

# The logic and the simulated platform are instrumented for coverage and the
# sanitizers too, so that a fault deep inside them is both reached and caught.
target_compile_options(probe_logic PRIVATE ${PROBE_FUZZ_COMPILE_OPTIONS} -fsanitize=fuzzer-no-link)
target_compile_options(platform_sim PRIVATE ${PROBE_FUZZ_COMPILE_OPTIONS} -fsanitize=fuzzer-no-link)

# probe_fuzz_target(<name> SOURCES <files...> [LIBS <targets...>] [PLATFORM])
# Builds <name> from the sources (one of them defines LLVMFuzzerTestOneInput)
# against probe_logic. PLATFORM adds the simulated Windows for targets whose
# code calls the platform; LIBS are linked ahead of the logic (test doubles).
function(probe_fuzz_target name)
  cmake_parse_arguments(F "PLATFORM" "" "SOURCES;LIBS" ${ARGN})
  if(NOT name MATCHES "_fuzz$")
    message(FATAL_ERROR "fuzz target ${name}: the name must end in _fuzz")
  endif()
  set(sources ${F_SOURCES})
  if(F_PLATFORM)
    list(APPEND sources $<TARGET_OBJECTS:platform_sim>)
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${PROBE_FUZZ_COMPILE_OPTIONS} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,${PROBE_FUZZ_SANITIZE})
  target_link_libraries(${name} PRIVATE ${F_LIBS} probe_logic)
endfunction()

file(GLOB PROBE_FUZZ_TARGET_LISTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*.cmake)
foreach(list ${PROBE_FUZZ_TARGET_LISTS})
  include(${list})
endforeach()
