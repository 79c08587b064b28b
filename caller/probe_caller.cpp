// Starting platform_probe.exe from a launcher and reading its answer without
// deadlock: see probe_caller.h for the contract.
//
// The output is never read to the end of the pipe. Our copy of the pipe's
// write end is closed once the probe has started, but another thread of the
// launcher may start a program of its own at the same moment and pass it
// every inheritable handle, ours included; end of file would then wait for
// that program. Instead the process handle decides: while the probe runs,
// whatever sits in the pipe is taken in without blocking; once it has exited,
// everything it wrote is in the pipe and is taken once more; past the time
// limit it is ended.
// Windows Vista's API and nothing newer (InitializeProcThreadAttributeList and
// GetTickCount64 are Vista's), whatever version the launcher builds for: the
// headers then hide every later function from this file.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600

#include "probe_caller.h"

#include "probe_caller_c.h"
#include "probe_caller_rules.h"

#include <windows.h>

#include <cstring>

namespace platform_probe {
namespace {

// How long the probe may sit between two looks at its pipe while it runs.
constexpr DWORD kPollMs = 10;
// After TerminateProcess, how long to wait until the probe is gone.
constexpr DWORD kReapMs = 1000;
static_assert(kErrorBadArguments == ERROR_BAD_ARGUMENTS, "the path refusals' code");
static_assert(kErrorFileNameTooLong == ERROR_FILENAME_EXCED_RANGE, "the long path's code");

CloudPlatformAnswer Failed(FailureKind kind, const char* reason, unsigned long detail) {
  return {CloudPlatform::kFailed, kind, reason, detail};
}

// Owns a kernel handle; closes it once.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void Close() {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
      handle_ = nullptr;
    }
  }

 private:
  HANDLE handle_ = nullptr;
};

// Owns a block of the process heap.
class HeapBlock {
 public:
  explicit HeapBlock(SIZE_T bytes) : block_(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes)) {}
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (block_ != nullptr) {
      HeapFree(GetProcessHeap(), 0, block_);
    }
  }
  void* get() const { return block_; }

 private:
  void* block_;
};

// The attribute list that names the only handles the probe inherits.
class InheritList {
 public:
  InheritList() = default;
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() {
    if (initialised_) {
      DeleteProcThreadAttributeList(list());
    }
  }
  // Returns 0, or the error of the call that failed.
  DWORD Set(HANDLE* handles, SIZE_T count) {
    SIZE_T bytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
    if (bytes == 0 || bytes > sizeof(storage_)) {
      // Never report success without a list in place.
      const DWORD error = GetLastError();
      return bytes != 0 ? ERROR_INSUFFICIENT_BUFFER : error != 0 ? error : ERROR_INVALID_FUNCTION;
    }
    if (!InitializeProcThreadAttributeList(list(), 1, 0, &bytes)) {
      return GetLastError();
    }
    initialised_ = true;
    if (!UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
      return GetLastError();
    }
    return 0;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST list() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_);
  }

 private:
  // One attribute takes a few dozen bytes on every Windows so far.
  alignas(8) unsigned char storage_[256] = {};
  bool initialised_ = false;
};

// Ends the probe and waits until it is gone, so that no probe outlives a call.
void EndProbe(HANDLE process) {
  TerminateProcess(process, ERROR_TIMEOUT);
  WaitForSingleObject(process, kReapMs);
}

// Takes whatever the pipe holds now, without blocking, into output (which has
// room for kMaxProbeOutput + 1 bytes). Returns 0, or the error of the read.
// A pipe whose writers are all gone holds nothing more: that is no error.
DWORD TakeAvailable(HANDLE pipe, char* output, DWORD* length) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_BROKEN_PIPE ? 0 : error;
    }
    const DWORD room = static_cast<DWORD>(kMaxProbeOutput + 1) - *length;
    if (available == 0 || room == 0) {
      return 0;
    }
    DWORD read = 0;
    if (!ReadFile(pipe, output + *length, available < room ? available : room, &read, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_BROKEN_PIPE ? 0 : error;
    }
    *length += read;
  }
}

}  // namespace

CloudPlatformAnswer QueryCloudPlatform(const wchar_t* probePath, unsigned long timeoutMs) noexcept {
  const ProbePathCheck path = CheckProbePath(probePath);
  if (path.refusal != nullptr) {
    return Failed(FailureKind::kPathRefused, path.refusal, path.error);
  }
  const size_t pathLength = path.length;

  // The command line is the path in quotes and nothing else: the probe takes
  // no arguments. CreateProcessW may write into it, so it is a copy.
  HeapBlock commandBlock((pathLength + 3) * sizeof(wchar_t));
  auto* commandLine = static_cast<wchar_t*>(commandBlock.get());
  if (commandLine == nullptr) {
    return Failed(FailureKind::kCouldNotStart, "out of memory", ERROR_NOT_ENOUGH_MEMORY);
  }
  commandLine[0] = L'"';
  std::memcpy(commandLine + 1, probePath, pathLength * sizeof(wchar_t));
  commandLine[pathLength + 1] = L'"';
  commandLine[pathLength + 2] = L'\0';

  // Standard input and standard error: NUL. Standard output: a pipe whose
  // read end stays with us and is never inheritable.
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  Handle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inheritable, OPEN_EXISTING, 0, nullptr));
  if (nul.get() == nullptr) {
    return Failed(FailureKind::kCouldNotStart, "cannot open NUL for the probe's input", GetLastError());
  }
  Handle outputRead;
  Handle outputWrite;
  if (!CreatePipe(outputRead.out(), outputWrite.out(), nullptr, kMaxProbeOutput + 1)) {
    return Failed(FailureKind::kCouldNotStart, "cannot create the pipe for the probe's output", GetLastError());
  }
  if (!SetHandleInformation(outputWrite.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return Failed(FailureKind::kCouldNotStart, "cannot create the pipe for the probe's output", GetLastError());
  }

  // These two handles and no other reach the probe. Without a list, Windows
  // would hand it every inheritable handle the launcher holds.
  HANDLE inherited[] = {nul.get(), outputWrite.get()};
  InheritList inheritList;
  if (const DWORD error = inheritList.Set(inherited, sizeof(inherited) / sizeof(inherited[0]))) {
    return Failed(FailureKind::kCouldNotStart, "cannot limit the handles the probe inherits", error);
  }

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.get();
  startup.StartupInfo.hStdOutput = outputWrite.get();
  startup.StartupInfo.hStdError = nul.get();
  startup.lpAttributeList = inheritList.list();
  PROCESS_INFORMATION started = {};
  // The application name is the path itself: no search, no default extension.
  if (!CreateProcessW(probePath, commandLine, nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &startup.StartupInfo, &started)) {
    return Failed(FailureKind::kCouldNotStart, "cannot start the probe", GetLastError());
  }
  Handle process(started.hProcess);
  Handle thread(started.hThread);
  thread.Close();
  // The probe holds its own copies now.
  outputWrite.Close();
  nul.Close();

  char output[kMaxProbeOutput + 1];
  DWORD length = 0;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (const DWORD error = TakeAvailable(outputRead.get(), output, &length)) {
      EndProbe(process.get());
      return Failed(FailureKind::kReadFailed, "cannot read the probe's output", error);
    }
    if (length > kMaxProbeOutput) {
      EndProbe(process.get());
      return Failed(FailureKind::kWroteTooMuch, "the probe wrote too much", length);
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= timeoutMs) {
      // One last look: a probe may exit exactly at its limit.
      if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
        break;
      }
      EndProbe(process.get());
      return Failed(FailureKind::kTimedOut, "the probe did not exit in time", timeoutMs);
    }
    const ULONGLONG left = timeoutMs - elapsed;
    const DWORD waited = WaitForSingleObject(process.get(), left < kPollMs ? static_cast<DWORD>(left) : kPollMs);
    if (waited == WAIT_OBJECT_0) {
      break;
    }
    if (waited != WAIT_TIMEOUT) {
      const DWORD error = GetLastError();
      EndProbe(process.get());
      return Failed(FailureKind::kReadFailed, "cannot wait for the probe", error);
    }
  }

  // It has exited: everything it wrote is in the pipe.
  if (const DWORD error = TakeAvailable(outputRead.get(), output, &length)) {
    return Failed(FailureKind::kReadFailed, "cannot read the probe's output", error);
  }
  if (length > kMaxProbeOutput) {
    return Failed(FailureKind::kWroteTooMuch, "the probe wrote too much", length);
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) {
    return Failed(FailureKind::kReadFailed, "cannot read the probe's exit code", GetLastError());
  }
  return JudgeProbeOutput(output, length, exitCode);
}

}  // namespace platform_probe

extern "C" int PlatformProbeQueryCloud(const wchar_t* probePath, unsigned long timeoutMs, int* failureKind,
                                       unsigned long* detail, char* reason, unsigned long reasonSize) {
  return platform_probe::CopyAnswerForC(platform_probe::QueryCloudPlatform(probePath, timeoutMs), failureKind,
                                        detail, reason, reasonSize);
}
