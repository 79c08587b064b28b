// Asking platform_probe.exe from a C++ launcher on Windows: one call that
// starts the probe, reads its one line and gives up in time.
//
//   #include "caller/probe_caller.h"
//
//   const platform_probe::CloudPlatformAnswer answer =
//       platform_probe::QueryCloudPlatform(L"C:\\Games\\Launcher\\platform_probe.exe", 5000);
//   if (answer.platform == platform_probe::CloudPlatform::kInCloud) { ... }
//   // kFailed: answer.reason says why; treat it like kNotInCloud.
//
// The call starts the probe by the absolute path it is given (no search path,
// no default extension), with no console window, standard input and standard
// error on NUL and standard output a pipe, and lets it inherit those handles
// and no other. It reads at most kMaxProbeOutput bytes, waits at most
// timeoutMs milliseconds for the probe to exit, and otherwise ends the probe,
// waits for it to be gone and reports kFailed. It is safe to call from any
// thread, allocates nothing that can throw, and never throws.
#ifndef PLATFORM_PROBE_CALLER_PROBE_CALLER_H_
#define PLATFORM_PROBE_CALLER_PROBE_CALLER_H_

namespace platform_probe {

enum class CloudPlatform {
  kInCloud,     // the probe printed {"cloud_platform":"STP"}
  kNotInCloud,  // the probe printed {}
  kFailed,      // the probe could not be asked, or its answer is not one of the two
};

struct CloudPlatformAnswer {
  CloudPlatform platform;
  // A few words on how the answer came about: a static string, never null.
  const char* reason;
  // With kFailed: the Windows error code of the call that failed, or the
  // probe's exit code when that was not 0, or the number of bytes it wrote
  // when those were too many or not a report; otherwise 0.
  unsigned long detail;
};

// More output than this is no report: the probe writes 26 bytes at most.
constexpr unsigned long kMaxProbeOutput = 4096;

// Starts the probe at probePath (an absolute path to an .exe, for example
// L"C:\\Games\\Launcher\\platform_probe.exe" or a UNC path) and returns its
// answer. Paths with spaces and non-ASCII characters are fine. The probe must
// print exactly {"cloud_platform":"STP"} or {} followed by CR LF (or LF) and
// exit with code 0; anything else is kFailed.
[[nodiscard]] CloudPlatformAnswer QueryCloudPlatform(const wchar_t* probePath,
                                                     unsigned long timeoutMs) noexcept;

}  // namespace platform_probe

#endif  // PLATFORM_PROBE_CALLER_PROBE_CALLER_H_
