// platform_probe_diag: the diagnostic companion of platform_probe, for
// integrators who ask "why does the probe say {}?".
//
// It is built from the same logic as the probe and makes exactly the probe's
// run (initialise, ask, shut down), handing an observer down the same calls.
// Then it prints what the run's checks reported, one "name: value" line per
// fact (probe/diag_report.cpp), and exits 0. It walks, judges and asks nothing
// of its own, so it cannot tell another story than the run it watched. The
// probe itself hands down no observer and stays silent.
#include "probe/diag_report.h"
#include "probe/probe.h"
#include "probe/process_guard.h"
#include "runtime/runtime.h"
#include "secureload/system_library.h"

#ifndef PROBE_DIAG_PINS
#define PROBE_DIAG_PINS "release"
#endif

int main(int, char**) {
  // Set up as the probe sets itself up, before any library is loaded: its
  // lines have standard output to themselves, as the probe's report has. The
  // companion has no deadline: a person runs it and sees where it stops (its
  // first lines come before the run).
  GuardProcess();
  SetAfterRuntimeLibraryCall(&GuardProcess);
  const bool kept = KeepReportOutput();
  const DllSearch search = NarrowDllSearch();
  for (const std::string& line : DiagnosisHeaderLines(search, PROBE_DIAG_PINS)) {
    WriteOutputLine(line.c_str());
  }
  if (!kept && search != kDllSearchUnchanged) {
    // As in the probe: a library could write into these lines, so none is loaded.
    WriteOutputLine("standard output: could not be kept from the runtime libraries; nothing loaded");
    WriteOutputLine("answer: {}");
  } else if (search != kDllSearchUnchanged) {
    ObservedRun run;
    const VerifyObserver observer = RecordingObserver(&run);
    const char* report = RunProbe(&observer);
    for (const std::string& line : DiagnosisRunLines(run, g_systemBuildLevel, report)) {
      WriteOutputLine(line.c_str());
    }
  }
  // As the probe ends: a library's unload notification cannot hold it.
  EndRun();
  return 0;
}
