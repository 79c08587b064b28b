// Which paths the caller library starts and how it reads the probe's output:
// see probe_caller_rules.h.
#include "probe_caller_rules.h"

#include "probe_caller_c.h"

#include <cstring>

namespace platform_probe {
namespace {

constexpr char kReportInCloud[] = "{\"cloud_platform\":\"STP\"}";
constexpr char kReportNotInCloud[] = "{}";

static_assert(static_cast<int>(FailureKind::kPathRefused) == PLATFORM_PROBE_FAILURE_PATH_REFUSED &&
                  static_cast<int>(FailureKind::kCouldNotStart) == PLATFORM_PROBE_FAILURE_COULD_NOT_START &&
                  static_cast<int>(FailureKind::kTimedOut) == PLATFORM_PROBE_FAILURE_TIMED_OUT &&
                  static_cast<int>(FailureKind::kWroteTooMuch) == PLATFORM_PROBE_FAILURE_WROTE_TOO_MUCH &&
                  static_cast<int>(FailureKind::kNotAReport) == PLATFORM_PROBE_FAILURE_NOT_A_REPORT &&
                  static_cast<int>(FailureKind::kExitCode) == PLATFORM_PROBE_FAILURE_EXIT_CODE &&
                  static_cast<int>(FailureKind::kCrashed) == PLATFORM_PROBE_FAILURE_CRASHED &&
                  static_cast<int>(FailureKind::kReadFailed) == PLATFORM_PROBE_FAILURE_READ_FAILED &&
                  static_cast<int>(FailureKind::kNone) == PLATFORM_PROBE_FAILURE_NONE,
              "the C entry point's kinds are FailureKind's");

CloudPlatformAnswer Failed(FailureKind kind, const char* reason, unsigned long detail) {
  return {CloudPlatform::kFailed, kind, reason, detail};
}

ProbePathCheck Refused(const char* reason, unsigned long error) { return {reason, error, 0}; }

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "C:\..." or "\\server\share\..." (which covers "\\?\C:\..."). Not "C:x"
// (relative to a drive's current directory), not "\x" (relative to the
// current drive), nothing that the search path or the current directory
// could complete.
bool IsAbsolutePath(const wchar_t* path) {
  if (IsAsciiLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
    return true;
  }
  return IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] != L'\0' && !IsSeparator(path[2]);
}

// Only an .exe is started as itself; CreateProcess would hand a .bat or .cmd
// to the command interpreter, which reads its command line by other rules.
bool NamesAnExe(const wchar_t* path, size_t length) {
  if (length < 5 || IsSeparator(path[length - 5])) {
    return false;
  }
  const wchar_t* extension = path + length - 4;
  return extension[0] == L'.' && (extension[1] | 0x20) == L'e' && (extension[2] | 0x20) == L'x' &&
         (extension[3] | 0x20) == L'e';
}

// The whole output is report followed by CR LF or by LF alone.
bool IsReportLine(const char* output, unsigned long length, const char* report) {
  const unsigned long size = static_cast<unsigned long>(std::strlen(report));
  if (length < size + 1 || length > size + 2 || std::memcmp(output, report, size) != 0) {
    return false;
  }
  const char* end = output + size;
  return length == size + 1 ? end[0] == '\n' : end[0] == '\r' && end[1] == '\n';
}

}  // namespace

ProbePathCheck CheckProbePath(const wchar_t* probePath) noexcept {
  if (probePath == nullptr || probePath[0] == L'\0') {
    return Refused("no probe path was given", kErrorBadArguments);
  }
  size_t length = 0;
  while (length <= kMaxProbePathChars && probePath[length] != L'\0') {
    if (probePath[length] == L'"') {
      // No file name holds a quote, and the command line could not hold one.
      return Refused("the probe path holds a quotation mark", kErrorBadArguments);
    }
    ++length;
  }
  if (length > kMaxProbePathChars) {
    return Refused("the probe path is too long", kErrorFileNameTooLong);
  }
  if (!IsAbsolutePath(probePath)) {
    return Refused("the probe path is not absolute", kErrorBadArguments);
  }
  if (!NamesAnExe(probePath, length)) {
    return Refused("the probe path does not name an .exe", kErrorBadArguments);
  }
  return {nullptr, 0, length};
}

CloudPlatformAnswer JudgeProbeOutput(const char* output, unsigned long length,
                                     unsigned long exitCode) noexcept {
  if (IsCrashStatus(exitCode)) {
    return Failed(FailureKind::kCrashed, "the probe crashed (it ended with an exception status)", exitCode);
  }
  if (exitCode != 0) {
    // The probe exits 0 on every path: another code is another program.
    return Failed(FailureKind::kExitCode, "the probe exited with a code other than 0", exitCode);
  }
  if (length == 0) {
    return Failed(FailureKind::kNotAReport, "the probe wrote nothing", 0);
  }
  if (IsReportLine(output, length, kReportInCloud)) {
    return {CloudPlatform::kInCloud, FailureKind::kNone, "the probe reported the Stratoplay cloud", 0};
  }
  if (IsReportLine(output, length, kReportNotInCloud)) {
    return {CloudPlatform::kNotInCloud, FailureKind::kNone, "the probe reported no cloud", 0};
  }
  return Failed(FailureKind::kNotAReport, "the probe's output is not a report line", length);
}

bool IsCrashStatus(unsigned long exitCode) noexcept {
  return (exitCode & 0xF0000000UL) == 0xC0000000UL;
}

int CopyAnswerForC(const CloudPlatformAnswer& answer, int* failureKind, unsigned long* detail,
                   char* reason, unsigned long reasonSize) noexcept {
  if (failureKind != nullptr) {
    *failureKind = static_cast<int>(answer.kind);
  }
  if (detail != nullptr) {
    *detail = answer.detail;
  }
  if (reason != nullptr && reasonSize != 0) {
    const size_t length = std::strlen(answer.reason);
    const size_t copied = length < reasonSize ? length : reasonSize - 1;
    std::memcpy(reason, answer.reason, copied);
    reason[copied] = '\0';
  }
  switch (answer.platform) {
    case CloudPlatform::kInCloud:
      return PLATFORM_PROBE_IN_CLOUD;
    case CloudPlatform::kNotInCloud:
      return PLATFORM_PROBE_NOT_IN_CLOUD;
    case CloudPlatform::kFailed:
      break;
  }
  return PLATFORM_PROBE_FAILED;
}

}  // namespace platform_probe
