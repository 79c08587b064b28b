# The Windows executables: the entry point, the logic, one pinned chain table
# and the resources (application manifest and version information).
enable_language(RC)

# The exe imports only kernel32 and msvcrt, which the platform maps from its
# own protected copies. The shell (shell32, shlwapi) and the trust libraries
# (crypt32, wintrust, ...) are loaded at run time from the system directory and
# are never linked.

# Four-part version for the manifest and the version resource.
set(PROBE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(PROBE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
endif()
string(REPLACE "." "," PROBE_VERSION_COMMAS "${PROBE_VERSION_QUAD}")
# The manifest names the width it was built for: x86 for the product, amd64 for
# the x86_64 test build of the same source.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PROBE_MANIFEST_ARCH amd64)
else()
  set(PROBE_MANIFEST_ARCH x86)
endif()

# probe_windows_exe(<target> PINNED <pinned table library>
#                   [OUTPUT_NAME <name without .exe>] [OUTPUT_DIRECTORY <dir>]
#                   [DESCRIPTION <text>])
# One console exe. OUTPUT_DIRECTORY is relative to the build directory; by
# default the exe lands at the top of it, named after the target.
function(probe_windows_exe target)
  cmake_parse_arguments(E "" "PINNED;OUTPUT_NAME;OUTPUT_DIRECTORY;DESCRIPTION;MAIN" "" ${ARGN})
  if(NOT E_MAIN)
    set(E_MAIN ${PROJECT_SOURCE_DIR}/probe/main.cpp)
  endif()
  if(NOT E_PINNED)
    message(FATAL_ERROR "probe_windows_exe(${target}): PINNED <library> is required")
  endif()
  if(NOT E_OUTPUT_NAME)
    set(E_OUTPUT_NAME ${target})
  endif()
  if(NOT E_DESCRIPTION)
    set(E_DESCRIPTION "KORVEX Stratoplay platform probe")
  endif()

  set(PROBE_EXE_NAME ${E_OUTPUT_NAME})
  set(PROBE_FILE_DESCRIPTION ${E_DESCRIPTION})
  set(resources ${CMAKE_BINARY_DIR}/resources/${target})
  set(PROBE_MANIFEST_FILE ${resources}/${E_OUTPUT_NAME}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.manifest ${PROBE_MANIFEST_FILE} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/probe/platform_probe.rc ${resources}/${E_OUTPUT_NAME}.rc @ONLY)
  # windres reports no dependencies: name the manifest it embeds.
  set_source_files_properties(${resources}/${E_OUTPUT_NAME}.rc PROPERTIES
                              OBJECT_DEPENDS ${PROBE_MANIFEST_FILE})

  add_executable(${target} ${E_MAIN} ${resources}/${E_OUTPUT_NAME}.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${E_OUTPUT_NAME})
  if(E_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${E_OUTPUT_DIRECTORY})
  else()
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  endif()
  target_link_options(${target} PRIVATE -mconsole)

  # Every exe pins exactly one chain; without a table there is no exe.
  if(NOT TARGET ${E_PINNED})
    message(FATAL_ERROR "${target}: pinned chain table ${E_PINNED} is not defined "
                        "(cmake/pinned_chain.cmake defines the tables)")
  endif()
  target_link_libraries(${target} PRIVATE probe_logic ${E_PINNED})
endfunction()

probe_windows_exe(platform_probe PINNED probe_pinned_release)
