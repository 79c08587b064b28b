#include "probe/probe.h"

#include "runtime/runtime.h"

const char* RunProbe(const VerifyObserver* observer) {
  bool inCloud = false;
  RuntimeResult result = InitializeRuntime(observer);
  Observe(observer, kObservedRuntimeResult, static_cast<DWORD>(result));
  // Only a fully initialised cloud runtime may be asked; every other outcome,
  // including "client only" and values the library passed back, means no.
  const bool ask = result == kRuntimeOk && g_cloudRuntime != nullptr;
  if (ask) inCloud = IsRunningInCloud();
  Observe(observer, kObservedAnswer, ask ? 1 : 0, inCloud ? 1 : 0);
  // Shut down on every path, before anything is written, so the runtime library
  // is no longer in use when the report goes out.
  ShutdownRuntime();
  return inCloud ? kReportInCloud : kReportNotInCloud;
}
