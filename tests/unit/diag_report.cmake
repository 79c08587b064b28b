# The companion's lines, made from what an observer heard.
probe_unit_test(diag_report_test SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/diag_report_test.cpp
                LIBS probe_diag_report)
