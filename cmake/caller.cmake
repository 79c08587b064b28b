# The caller library launchers link to ask the probe (caller/), and the test
# material that exercises it under Wine: a driver exe that calls it and a fake
# probe that misbehaves on request. Included by the Windows build after
# windows_extra.cmake, whose probe_e2e_binary and e2e/bin it uses.
add_subdirectory(${PROJECT_SOURCE_DIR}/caller ${PROJECT_BINARY_DIR}/caller)

probe_e2e_binary(e2e_caller_driver EXE ${PROBE_E2E_SOURCE}/caller_driver.cpp
                 OUTPUT_NAME caller_driver OUTPUT_DIRECTORY ${PROBE_E2E_BIN} LIBS probe_caller)
probe_e2e_binary(e2e_fake_probe EXE ${PROBE_E2E_SOURCE}/fake_probe.cpp
                 OUTPUT_NAME fake_probe OUTPUT_DIRECTORY ${PROBE_E2E_BIN})
