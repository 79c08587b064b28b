// A launcher in miniature for the caller library's tests under Wine: asks the
// probe at PROBE through QueryCloudPlatform and prints what came back.
//
//   caller_driver.exe [--unicode-dir] [--pid-file FILE] [--c-entry] PROBE TIMEOUT_MS
//
//   --c-entry        ask through the C entry point (probe_caller_c.h), with
//                    a reason buffer of 64 bytes, instead of C++'s
//   --unicode-dir    first copy PROBE into a directory beside it whose name
//                    holds spaces and non-ASCII characters, and ask that copy
//   --pid-file FILE  afterwards, read the process id a fake probe wrote to
//                    FILE and say whether that process is gone
//
// Before the call it makes an inheritable pipe holding four bytes and names it
// in CALLER_TEST_INHERITABLE, so that a fake probe can tell whether a handle
// the launcher did not mean for it reached it anyway.
//
// Prints "answer: in-cloud|not-in-cloud|failed", "kind: ...", "reason: ...",
// "detail: 0x...", "elapsed_ms: N" and with --pid-file "probe process: gone",
// "running" or "unknown". Exit status 0 unless the arguments are wrong.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "probe_caller.h"
#include "probe_caller_c.h"

namespace {

const char* AnswerName(platform_probe::CloudPlatform platform) {
  switch (platform) {
    case platform_probe::CloudPlatform::kInCloud:
      return "in-cloud";
    case platform_probe::CloudPlatform::kNotInCloud:
      return "not-in-cloud";
    case platform_probe::CloudPlatform::kFailed:
      break;
  }
  return "failed";
}

// FailureKind as the table names it.
const char* KindName(int kind) {
  static const char* const kNames[] = {"none",         "path-refused", "could-not-start",
                                       "timed-out",    "wrote-too-much", "not-a-report",
                                       "exit-code",    "crashed",      "read-failed"};
  return kind >= 0 && kind < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])) ? kNames[kind] : "unknown";
}

const char* ProcessState(const wchar_t* pidFile) {
  FILE* file = _wfopen(pidFile, L"r");
  unsigned long pid = 0;
  const bool read = file != nullptr && std::fscanf(file, "%lu", &pid) == 1;
  if (file != nullptr) std::fclose(file);
  if (!read) return "unknown";
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return "gone";
  const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return exited ? "gone" : "running";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool unicodeDir = false;
  bool cEntry = false;
  const wchar_t* pidFile = nullptr;
  int at = 1;
  for (; at < argc && argv[at][0] == L'-' && argv[at][1] == L'-'; ++at) {
    if (std::wcscmp(argv[at], L"--unicode-dir") == 0) {
      unicodeDir = true;
    } else if (std::wcscmp(argv[at], L"--c-entry") == 0) {
      cEntry = true;
    } else if (std::wcscmp(argv[at], L"--pid-file") == 0 && at + 1 < argc) {
      pidFile = argv[++at];
    } else {
      break;
    }
  }
  if (argc - at != 2) {
    std::fprintf(stderr, "usage: caller_driver.exe [--unicode-dir] [--pid-file FILE] [--c-entry] PROBE TIMEOUT_MS\n");
    return 2;
  }
  const wchar_t* probe = argv[at];
  const unsigned long timeoutMs = std::wcstoul(argv[at + 1], nullptr, 10);

  wchar_t copy[MAX_PATH];
  if (unicodeDir) {
    const wchar_t* slash = std::wcsrchr(probe, L'\\');
    if (slash == nullptr || std::swprintf(copy, MAX_PATH, L"%.*ls\\Spiel Ordner \u00fc \u691c\u67fb \u2601",
                                          static_cast<int>(slash - probe), probe) < 0) {
      return 2;
    }
    CreateDirectoryW(copy, nullptr);
    const size_t dirLength = std::wcslen(copy);
    std::swprintf(copy + dirLength, MAX_PATH - dirLength, L"%ls", slash);
    if (!CopyFileW(probe, copy, FALSE)) {
      std::fprintf(stderr, "cannot copy the probe: %lu\n", GetLastError());
      return 2;
    }
    probe = copy;
  }

  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE bait = nullptr;
  HANDLE baitWrite = nullptr;
  DWORD written = 0;
  if (!CreatePipe(&bait, &baitWrite, &inheritable, 0) || !WriteFile(baitWrite, "LEAK", 4, &written, nullptr)) {
    return 2;
  }
  wchar_t baitValue[32];
  std::swprintf(baitValue, 32, L"%lu", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(bait)));
  SetEnvironmentVariableW(L"CALLER_TEST_INHERITABLE", baitValue);

  const ULONGLONG start = GetTickCount64();
  platform_probe::CloudPlatformAnswer answer = {platform_probe::CloudPlatform::kFailed, platform_probe::FailureKind::kNone, "", 0};
  char reason[64];
  int kind = -1;
  if (cEntry) {
    const int result = PlatformProbeQueryCloud(probe, timeoutMs, &kind, &answer.detail, reason, sizeof(reason));
    answer.platform = result == PLATFORM_PROBE_IN_CLOUD       ? platform_probe::CloudPlatform::kInCloud
                      : result == PLATFORM_PROBE_NOT_IN_CLOUD ? platform_probe::CloudPlatform::kNotInCloud
                                                              : platform_probe::CloudPlatform::kFailed;
    answer.reason = reason;
  } else {
    answer = platform_probe::QueryCloudPlatform(probe, timeoutMs);
    kind = static_cast<int>(answer.kind);
  }
  const ULONGLONG elapsed = GetTickCount64() - start;

  std::printf("answer: %s\nkind: %s\nreason: %s\ndetail: 0x%08lx\nelapsed_ms: %llu\n", AnswerName(answer.platform),
              KindName(kind), answer.reason, answer.detail, elapsed);
  if (pidFile != nullptr) {
    std::printf("probe process: %s\n", ProcessState(pidFile));
  }
  return 0;
}
