// One run of the probe: initialise, ask, shut down, and the report to write.
#pragma once

#include "secureload/verify_observer.h"

constexpr const char kReportInCloud[] = "{\"cloud_platform\":\"STP\"}\n";
constexpr const char kReportNotInCloud[] = "{}\n";

// Runs the whole life of the probe except the writing, and returns the report
// text (one of the two above). observer, when not null, is told each step; the
// probe itself hands down none.
const char* RunProbe(const VerifyObserver* observer = nullptr);
