# The self-test kit's runner (selftest/, scripts/kit.sh): a Windows test tool,
# not part of the product; it asks the probe through the caller library as a
# launcher does. Included by the Windows build after caller.cmake.
probe_e2e_binary(selftest EXE ${PROJECT_SOURCE_DIR}/selftest/selftest.cpp
                 OUTPUT_NAME selftest OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/selftest
                 DEFINES _WIN32_WINNT=0x0601 LIBS probe_caller crypt32 shell32 advapi32)
