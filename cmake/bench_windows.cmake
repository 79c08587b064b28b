# The floors that the start-up benchmark (scripts/bench_startup.sh) measures the
# probe against, built with the probe's own toolchain and flags: the static C
# and C++ runtimes, the same optimisation, stripping and linker options, and the
# same kind of manifest and version resource, so that only the work differs.
# Included by the Windows build after windows_exe.cmake.
#
#   bench/bench_empty.exe         nothing: the floor of any start
#   bench/bench_trust_floor.exe   crypt32 and wintrust from the system
#                                 directory, one CryptQueryObject, one
#                                 WinVerifyTrust on StpRuntimeSdk.dll beside it
#   bench/bench_shell_floor.exe   the two shell calls of every start (diagnosis)

# bench_floor_exe(<target> <source> [UNICODE] [LIBS <libraries...>])
function(bench_floor_exe target source)
  cmake_parse_arguments(F "UNICODE" "" "LIBS" ${ARGN})
  set(PROBE_EXE_NAME ${target})
  set(PROBE_FILE_DESCRIPTION "KORVEX Stratoplay platform probe, start-up floor (benchmark only)")
  set(resources ${CMAKE_BINARY_DIR}/resources/${target})
  set(PROBE_MANIFEST_FILE ${resources}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.manifest ${PROBE_MANIFEST_FILE} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.rc ${resources}/${target}.rc @ONLY)
  set_source_files_properties(${resources}/${target}.rc PROPERTIES
                              OBJECT_DEPENDS ${PROBE_MANIFEST_FILE})
  add_executable(${target} ${source} ${resources}/${target}.rc)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_options(${target} PRIVATE -mconsole)
  if(F_UNICODE)
    target_compile_options(${target} PRIVATE -municode)
    target_link_options(${target} PRIVATE -municode)
  endif()
  target_link_libraries(${target} PRIVATE ${F_LIBS})
endfunction()

bench_floor_exe(bench_empty ${PROJECT_SOURCE_DIR}/tests/bench/empty_main.cpp)
# crypt32 and wintrust are loaded at run time, as the probe loads them.
bench_floor_exe(bench_trust_floor ${PROJECT_SOURCE_DIR}/tests/bench/trust_floor_main.cpp UNICODE)
bench_floor_exe(bench_shell_floor ${PROJECT_SOURCE_DIR}/tests/bench/shell_floor_main.cpp
                LIBS shell32 shlwapi)
