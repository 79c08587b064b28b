#include "probe/probe.h"

#include "runtime/runtime.h"

const char* RunProbe() {
  bool inCloud = false;
  RuntimeResult result = InitializeRuntime();
  // Only a fully initialised cloud runtime may be asked; every other outcome,
  // including "client only" and values the library passed back, means no.
  if (result == kRuntimeOk && g_cloudRuntime != nullptr) inCloud = IsRunningInCloud();
  // Shut down on every path, before anything is written, so the runtime library
  // is no longer in use when the report goes out.
  ShutdownRuntime();
  return inCloud ? kReportInCloud : kReportNotInCloud;
}
