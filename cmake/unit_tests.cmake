# Unit tests: one executable per job, each linked against the logic and the
# simulated Windows. Each tests/unit/<job>.cmake declares its own programs with
# probe_unit_test().
option(PROBE_GTEST_FROM_SOURCE "Build GoogleTest from the system's source tree (for -m32)" OFF)
if(PROBE_GTEST_FROM_SOURCE)
  # The packaged libraries are 64-bit only; build them as wide as the tests.
  # GoogleTest is not ours to hold to our warning flags.
  get_directory_property(probe_compile_options COMPILE_OPTIONS)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${probe_compile_options}")
  include(GoogleTest)
else()
  find_package(GTest REQUIRED)
endif()

file(GLOB PROBE_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/support/*.cpp)
add_library(probe_test_support OBJECT ${PROBE_TEST_SUPPORT_SOURCES})
target_include_directories(probe_test_support PUBLIC ${PROJECT_SOURCE_DIR})

# probe_unit_test(<name> SOURCES <files...> [LIBS <targets...>])
# LIBS replaces the default pinned table or adds test doubles; they are linked
# ahead of the logic so that a double wins over the logic's own definition.
function(probe_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} $<TARGET_OBJECTS:platform_sim>
                 $<TARGET_OBJECTS:probe_test_support>)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set(pinned "")
  if(TARGET probe_pinned_test AND NOT "probe_pinned_release" IN_LIST T_LIBS)
    set(pinned probe_pinned_test)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} probe_logic ${pinned}
                        GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endfunction()

file(GLOB PROBE_UNIT_TEST_LISTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/*.cmake)
foreach(list ${PROBE_UNIT_TEST_LISTS})
  include(${list})
endforeach()
