// The probe with a trace, for the end-to-end matrix only (never shipped): the
// same entry point as platform_probe.exe, with an observer that writes each
// nested candidate the walk judged to standard error, one line each:
//   <client|cloud> nested <binding|unreadable> <verdict> 0x<error>
// where the error is "words" when a gate told its refusal (the companion
// prints it in words, not as a code).
// The matrix holds the companion's nested lines against these.
#include <cstdio>

#include "probe/probe.h"
#include "probe/process_guard.h"
#include "runtime/runtime.h"

namespace {

const char* g_library = "unknown";
DWORD g_refusal = kRefusalNone;

void Trace(void*, const ObservedEvent& event) {
  if (event.step == kObservedLibrary) {
    g_library = event.verdict == kObservedCloudLibrary ? "cloud" : "client";
  } else if (event.step == kObservedRefusal) {
    g_refusal = event.verdict;
  } else if (event.step == kObservedNestedSigner) {
    char binding[16];
    if (event.binding == kObservedUnreadable) {
      std::snprintf(binding, sizeof binding, "unreadable");
    } else {
      std::snprintf(binding, sizeof binding, "%lu", static_cast<unsigned long>(event.binding));
    }
    char error[16];
    std::snprintf(error, sizeof error, "0x%08lx", static_cast<unsigned long>(event.error));
    const bool words = g_refusal != kRefusalNone && g_refusal != kRefusalTrustVerdict;
    std::fprintf(stderr, "%s nested %s %lu %s\n", g_library, binding,
                 static_cast<unsigned long>(event.verdict), words ? "words" : error);
    g_refusal = kRefusalNone;
  }
}

}  // namespace

int main(int, char**) {
  // As platform_probe.exe sets itself up (probe/main.cpp).
  GuardProcess();
  SetAfterRuntimeLibraryCall(&GuardProcess);
  const VerifyObserver tracer{&Trace, nullptr};
  const bool guarded =
      KeepReportOutput() && StartDeadline() && NarrowDllSearch() != kDllSearchUnchanged;
  const char* report = guarded ? RunProbe(&tracer) : kReportNotInCloud;
  WriteReport(report);
  EndRun();
  return 0;
}
