// platform_probe_diag: the diagnostic companion of platform_probe, for
// integrators who ask "why does the probe say {}?".
//
// It is built from the same logic as the probe and makes exactly the probe's
// run (initialise, ask, shut down), handing an observer down the same calls.
// Then it prints what the run's checks reported, one "name: value" line per
// fact (probe/diag_report.cpp), and exits 0. It walks, judges and asks nothing
// of its own, so it cannot tell another story than the run it watched. The
// probe itself hands down no observer and stays silent.
#include <cstdio>

#include "probe/diag_report.h"
#include "probe/probe.h"
#include "probe/process_guard.h"
#include "secureload/system_library.h"

#ifndef PROBE_DIAG_PINS
#define PROBE_DIAG_PINS "release"
#endif

int main(int, char**) {
  // Set up as the probe sets itself up, before any library is loaded.
  GuardProcess();
  const bool narrowed = NarrowDllSearch();
  ObservedRun run;
  const VerifyObserver observer = RecordingObserver(&run);
  const char* report = narrowed ? RunProbe(&observer) : kReportNotInCloud;
  for (const std::string& line :
       DiagnosisLines(narrowed, run, PROBE_DIAG_PINS, g_systemBuildLevel, report)) {
    std::printf("%s\n", line.c_str());
  }
  return 0;
}
