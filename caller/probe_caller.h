// Asking platform_probe.exe from a C++ launcher on Windows: one call that
// starts the probe, reads its one line and gives up in time.
//
//   #include "probe_caller.h"
//
//   const platform_probe::CloudPlatformAnswer answer =
//       platform_probe::QueryCloudPlatform(L"C:\\Games\\Launcher\\platform_probe.exe", 35000);
//   if (answer.platform == platform_probe::CloudPlatform::kInCloud) { ... }
//   // kFailed: answer.kind, answer.reason and answer.detail say why; treat
//   // it like kNotInCloud.
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

#include "probe_caller_version.h"

namespace platform_probe {

// Equal to the VERSION of the probe this copy of the library was made with.
constexpr char kCallerVersion[] = PLATFORM_PROBE_CALLER_VERSION;

enum class CloudPlatform {
  kInCloud,     // the probe printed {"cloud_platform":"STP"}
  kNotInCloud,  // the probe printed {}
  kFailed,      // the probe could not be asked, or its answer is not one of the two
};

// Why a call gave kFailed, and what its detail counts. The numbers are those
// of the C entry point (probe_caller_c.h) and stay as they are.
enum class FailureKind {
  kNone = 0,           // an answer; detail 0
  kPathRefused = 1,    // the path was not started: ERROR_BAD_ARGUMENTS (160), or
                       // ERROR_FILENAME_EXCED_RANGE (206) for one too long
  kCouldNotStart = 2,  // the Windows error code of the call that failed
                       // (CreateProcessW: 2 for a missing file), or
                       // ERROR_NOT_ENOUGH_MEMORY
  kTimedOut = 3,       // the time limit, in milliseconds; the probe was ended
  kWroteTooMuch = 4,   // the bytes read before giving up: kMaxProbeOutput + 1;
                       // the probe was ended
  kNotAReport = 5,     // the bytes the probe wrote (0: nothing)
  kExitCode = 6,       // the exit code, not 0 (and no exception status)
  kCrashed = 7,        // the exception status the probe ended with
                       // (0xC0000000 to 0xCFFFFFFF, for example 0xC0000005)
  kReadFailed = 8,     // once started, the probe's output, end or exit code
                       // could not be read: the Windows error code
};

struct CloudPlatformAnswer {
  CloudPlatform platform;
  // kNone unless platform is kFailed.
  FailureKind kind;
  // A few words on how the answer came about: a static string, never null.
  const char* reason;
  // What kind says; 0 with an answer.
  unsigned long detail;
};

// More output than this is no report: the probe writes 26 bytes at most.
constexpr unsigned long kMaxProbeOutput = 4096;

// Starts the probe at probePath (an absolute path to an .exe, for example
// L"C:\\Games\\Launcher\\platform_probe.exe" or a UNC path) and returns its
// answer. Paths with spaces and non-ASCII characters are fine. The probe must
// print exactly {"cloud_platform":"STP"} or {} followed by CR LF (or LF) and
// exit with code 0; anything else is kFailed. timeoutMs counts from the
// probe's start: 35000 outlasts the probe's own 30-second deadline; 0 ends it
// at once (kTimedOut); INFINITE sets no limit of the call's own.
[[nodiscard]] CloudPlatformAnswer QueryCloudPlatform(const wchar_t* probePath,
                                                     unsigned long timeoutMs) noexcept;

}  // namespace platform_probe

#endif  // PLATFORM_PROBE_CALLER_PROBE_CALLER_H_
