#include "probe/process_guard.h"

#include <csignal>
#include <cstdio>

std::atomic<int> g_reportState{kReportNone};

namespace {

// The not-in-cloud report as the text-mode stream would have written it.
constexpr char kFaultReport[] = "{}\r\n";

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
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
      const char* next = kFaultReport;
      DWORD left = sizeof kFaultReport - 1;
      DWORD written = 0;
      while (left != 0 && WriteFile(out, next, left, &written, nullptr) && written != 0 &&
             written <= left) {
        next += written;
        left -= written;
      }
    }
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

// The watchdog. The thread exists before any runtime library is loaded, so no
// runtime library's DllMain is told of it; it touches nothing the main thread
// uses but the report's state.
DWORD WINAPI EndAtDeadline(LPVOID) {
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

bool StartDeadline() {
  HANDLE watchdog = CreateThread(nullptr, kWatchdogStack, &EndAtDeadline, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (watchdog == nullptr) return false;
  // The thread runs on without its handle.
  CloseHandle(watchdog);
  return true;
}

bool NarrowDllSearch() {
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
    return true;
  }
  // Older loaders: the standard order without the working directory.
  return SetDllDirectoryW(L"") != 0;
}

void WriteReport(const char* report) {
  // The watchdog or a fault on another thread got there first: its report is
  // the one, and it ends the process.
  if (!ClaimReport()) {
    EndWithoutAnswer();
    return;
  }
  // One insertion; the newline becomes CR LF in the text-mode stream. Flushed
  // here, not at exit, so that the guard knows the report is out.
  std::fputs(report, stdout);
  std::fflush(stdout);
  g_reportState = kReportOut;
}
