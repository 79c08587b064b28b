#include "probe/process_guard.h"

#include <csignal>
#include <cstdio>

std::atomic<int> g_reportState{kReportNone};
HANDLE g_reportOutput = nullptr;

namespace {

// The not-in-cloud report as the text-mode stream would have written it.
constexpr char kFaultReport[] = "{}\r\n";

// Writes all of `bytes` to the report's way out, as far as it takes them. Plain
// file API only: it runs on a faulting or aborting thread too.
void WriteAll(const char* bytes, DWORD left) {
  HANDLE out = g_reportOutput;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  while (left != 0 && WriteFile(out, bytes, left, &written, nullptr) && written != 0 &&
         written <= left) {
    bytes += written;
    left -= written;
  }
}

// A line with its newline as CR LF, in one write where it fits the buffer.
void WriteLine(const char* line) {
  char buffer[512];
  DWORD length = 0;
  for (const char* next = line; *next != '\0' && *next != '\n'; ++next) {
    if (length == sizeof buffer - 2) {
      WriteAll(buffer, length);
      length = 0;
    }
    buffer[length++] = *next;
  }
  buffer[length++] = '\r';
  buffer[length++] = '\n';
  WriteAll(buffer, length);
}

// How long a thread that finds the report claimed by another waits for it to go
// out before ending the process all the same: the report is one short write.
constexpr int kReportWaitRounds = 100;
constexpr DWORD kReportWaitStep = 10;

// The watchdog's stack: it only sleeps and writes.
constexpr SIZE_T kWatchdogStack = 64 * 1024;

bool ClaimReport() {
  int expected = kReportNone;
  return g_reportState.compare_exchange_strong(expected, kReportClaimed);
}

// Ends the process with exit code 0 from whatever thread and state: writes the
// not-in-cloud report if nobody has claimed one, else gives the one being
// written a moment to go out. Runs on a faulting or aborting thread too, so it
// uses nothing but the plain file API: no C runtime, no allocation, no lock.
void EndWithoutAnswer() {
  if (ClaimReport()) {
    WriteAll(kFaultReport, sizeof kFaultReport - 1);
    g_reportState = kReportOut;
  } else {
    for (int round = 0; round < kReportWaitRounds && g_reportState == kReportClaimed; ++round) {
      Sleep(kReportWaitStep);
    }
  }
  // Ends here: no exit handlers and no DllMain of a library run after a fault,
  // and exit code 0 as on every other path.
  TerminateProcess(GetCurrentProcess(), 0);
}

LONG WINAPI EndOnFault(PEXCEPTION_POINTERS) {
  EndWithoutAnswer();
  return EXCEPTION_EXECUTE_HANDLER;
}

// abort() through the probe's own C runtime raises SIGABRT before it ends the
// process with exit code 3.
void EndOnAbort(int) { EndWithoutAnswer(); }

// The watchdog. The thread runs before any runtime library is loaded, so no
// runtime library's DllMain is told of it and none can hold up its start; it
// touches nothing the main thread uses but the report's state and its way out.
DWORD WINAPI EndAtDeadline(LPVOID started) {
  // The event is the main thread's, which closes it once it has seen it set:
  // not to be touched after this.
  SetEvent(static_cast<HANDLE>(started));
  Sleep(kDeadlineMilliseconds);
  EndWithoutAnswer();
  return 0;
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

}  // namespace

void GuardProcess() {
  // A bad image, a missing drive or a crash must not raise a box that nobody
  // will ever click in a launcher's background.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&EndOnFault);
  std::signal(SIGABRT, &EndOnAbort);
}

bool KeepReportOutput() {
  // Nothing is buffered yet; flushed all the same, so nothing written before
  // can come out after the report.
  std::fflush(stdout);
  HANDLE real = GetStdHandle(STD_OUTPUT_HANDLE);
  // Started without a standard output: nothing to keep. What a library writes
  // to its descriptor 1 reaches nobody either.
  if (real == nullptr || real == INVALID_HANDLE_VALUE) return true;
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, real, self, &g_reportOutput, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    g_reportOutput = real;
    return false;
  }
  // The C runtime's descriptor 1 may hold the real handle itself (msvcrt
  // does) or a copy; either way the handle left behind must not reach a
  // child. A console handle of an older system may refuse: a console is no
  // pipe that a child could hold open.
  SetHandleInformation(real, HANDLE_FLAG_INHERIT, 0);
  // Descriptor 1 onto NUL. _dup2 closes what descriptor 1 held and, in
  // msvcrt, points the standard output handle at its new NUL handle too;
  // freopen would close the real handle through the stream instead.
  const int nul = _open("NUL", _O_WRONLY | _O_BINARY | _O_NOINHERIT);
  if (nul < 0) return false;
  const bool moved = _dup2(nul, 1) == 0;
  _close(nul);
  const intptr_t descriptorOne = _get_osfhandle(1);
  // The standard output handle follows descriptor 1 whether or not the C
  // runtime moved it: what libraries find there is NUL.
  return moved && descriptorOne != -1 &&
         SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(descriptorOne)) != FALSE;
}

bool StartDeadline() {
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (started == nullptr) return false;
  HANDLE watchdog = CreateThread(nullptr, kWatchdogStack, &EndAtDeadline, started,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (watchdog == nullptr) {
    CloseHandle(started);
    return false;
  }
  // The thread runs on without its handle.
  CloseHandle(watchdog);
  // Not set in time: the thread may still set the event later, so it stays
  // open (one handle, for a run that loads nothing and ends at once).
  if (WaitForSingleObject(started, kWatchdogStartMilliseconds) != WAIT_OBJECT_0) return false;
  CloseHandle(started);
  return true;
}

DllSearch NarrowDllSearch() {
  // kernel32 is mapped in every process; the entry point is looked up because
  // a loader without its update lacks it.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  auto setDefaultDirectories =
      kernel32 != nullptr
          ? ProcAs<SetDefaultDllDirectoriesFn>(GetProcAddress(kernel32, "SetDefaultDllDirectories"))
          : nullptr;
  // Honoured on every system that has it (and by Wine, which ignores the
  // older call below). System32 only: the platform's own libraries load
  // further libraries by bare name (delayed imports, plug-ins) and must never
  // find them beside the executable or in the working directory. PATH and the
  // Windows directory hold nothing the probe needs.
  if (setDefaultDirectories != nullptr && setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return kDllSearchSystemOnly;
  }
  // Older loaders: the standard order without the working directory.
  return SetDllDirectoryW(L"") != 0 ? kDllSearchWithoutWorkingDirectory : kDllSearchUnchanged;
}

void WriteReport(const char* report) {
  // The watchdog or a fault on another thread got there first: its report is
  // the one, and it ends the process.
  if (!ClaimReport()) {
    EndWithoutAnswer();
    return;
  }
  // Written through, not buffered, so that the guard knows the report is out.
  WriteLine(report);
  g_reportState = kReportOut;
}

void WriteOutputLine(const char* line) { WriteLine(line); }

void EndRun() {
  // The report is out (written through, nothing buffered), the runtime has
  // been shut down, and the probe's own state needs no clean-up: nothing of a
  // normal exit is left to do but the unload notifications of the libraries
  // still loaded (the client copy, a cloud copy that pinned itself). Those
  // are theirs, not ours: a DllMain that waits for a thread that exit has
  // already ended would keep the process alive past its answer. So the
  // process ends here, as the fault guard ends it.
  TerminateProcess(GetCurrentProcess(), 0);
}
