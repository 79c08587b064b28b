// The parts of the caller library that need no Windows: which paths it starts
// and how it reads what the probe wrote. probe_caller.cpp uses them; the host
// unit tests test them directly.
#ifndef PLATFORM_PROBE_CALLER_PROBE_CALLER_RULES_H_
#define PLATFORM_PROBE_CALLER_PROBE_CALLER_RULES_H_

#include <cstddef>

#include "probe_caller.h"

namespace platform_probe {

// Windows' error codes for the path refusals (probe_caller.cpp checks them
// against the system's own).
constexpr unsigned long kErrorBadArguments = 160;
constexpr unsigned long kErrorFileNameTooLong = 206;

// A command line holds at most 32767 characters with its terminating null:
// the path, two quotes and the null.
constexpr size_t kMaxProbePathChars = 32767 - 3;

struct ProbePathCheck {
  // Null when the path may be started; otherwise why not, with the error code.
  const char* refusal;
  unsigned long error;
  // The path's length in characters, when it may be started.
  size_t length;
};

// Whether probePath is one the call starts: present, no quotation mark, at most
// kMaxProbePathChars long, absolute ("C:\..." or "\\server\share\...") and
// naming an .exe. Reads at most kMaxProbePathChars + 1 characters.
ProbePathCheck CheckProbePath(const wchar_t* probePath) noexcept;

// The answer that the probe's output (length bytes) and exit code give: one of
// the two reports followed by CR LF or LF, and exit code 0, or kFailed.
CloudPlatformAnswer JudgeProbeOutput(const char* output, unsigned long length,
                                     unsigned long exitCode) noexcept;

// Whether an exit code is the exception status of a process that crashed:
// error severity, a system code (0xC0000000 to 0xCFFFFFFF).
bool IsCrashStatus(unsigned long exitCode) noexcept;

// The C entry point's half that needs no Windows: answer as its return value
// (PLATFORM_PROBE_*), *failureKind, *detail, and the reason copied into
// reason (reasonSize bytes, cut and terminated). Null pointers are skipped.
int CopyAnswerForC(const CloudPlatformAnswer& answer, int* failureKind, unsigned long* detail,
                   char* reason, unsigned long reasonSize) noexcept;

}  // namespace platform_probe

#endif  // PLATFORM_PROBE_CALLER_PROBE_CALLER_RULES_H_
