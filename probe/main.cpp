// platform_probe: prints {"cloud_platform":"STP"} inside the Stratoplay cloud
// and {} everywhere else, and always exits 0.
#include "probe/probe.h"
#include "probe/process_guard.h"
#include "runtime/runtime.h"

int main(int, char**) {
  // Before any library is loaded: no error boxes, faults and aborts end in {},
  // the report keeps standard output to itself, a run without an answer in
  // time ends in {}, and the working directory out of the DLL search. Where
  // that cannot be done nothing is loaded at all.
  GuardProcess();
  // A runtime library may put its own crash filter or abort handler in place
  // (crash reporters do): ours goes back after every load of and call into one.
  SetAfterRuntimeLibraryCall(&GuardProcess);
  const bool guarded = KeepReportOutput() && StartDeadline() && NarrowDllSearch() != kDllSearchUnchanged;
  const char* report = guarded ? RunProbe() : kReportNotInCloud;
  // A failing output is not our concern: there is nowhere else to report it.
  WriteReport(report);
  // The process ends with the report: nothing a library does at exit can
  // hold it.
  EndRun();
  return 0;
}
