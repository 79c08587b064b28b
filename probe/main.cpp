// platform_probe: prints {"cloud_platform":"STP"} inside the Stratoplay cloud
// and {} everywhere else, and always exits 0.
#include "probe/probe.h"
#include "probe/process_guard.h"

int main(int, char**) {
  // Before any library is loaded: no error boxes, faults end in {}, and the
  // working directory out of the DLL search. Where that cannot be done nothing
  // is loaded at all.
  GuardProcess();
  const char* report = NarrowDllSearch() ? RunProbe() : kReportNotInCloud;
  // A failing stream is not our concern: there is nowhere else to report it.
  WriteReport(report);
  return 0;
}
