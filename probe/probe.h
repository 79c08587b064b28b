// One run of the probe: initialise, ask, shut down, and the report to write.
#pragma once

constexpr const char kReportInCloud[] = "{\"cloud_platform\":\"STP\"}\n";
constexpr const char kReportNotInCloud[] = "{}\n";

// Runs the whole life of the probe except the writing, and returns the report
// text (one of the two above).
const char* RunProbe();
