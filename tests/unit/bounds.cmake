# Time and stack bounds of the nested-signature walk and the genTime walk.
find_package(Threads REQUIRED)
probe_unit_test(bounds_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/bounds_test.cpp
  LIBS Threads::Threads)
