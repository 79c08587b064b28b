#include "probe/process_guard.h"

#include <cstdio>

volatile bool g_reportWritten = false;

namespace {

// The not-in-cloud report as the text-mode stream would have written it.
constexpr char kFaultReport[] = "{}\r\n";

// Runs on the faulting thread with whatever state the fault left, so it uses
// nothing but the plain file API: no C runtime, no allocation, no lock.
LONG WINAPI EndWithoutAnswer(PEXCEPTION_POINTERS) {
  if (!g_reportWritten) {
    g_reportWritten = true;
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
  }
  // Ends here: no exit handlers and no DllMain of a library run after a fault,
  // and exit code 0 as on every other path.
  TerminateProcess(GetCurrentProcess(), 0);
  return EXCEPTION_EXECUTE_HANDLER;
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

}  // namespace

void GuardProcess() {
  // A bad image, a missing drive or a crash must not raise a box that nobody
  // will ever click in a launcher's background.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&EndWithoutAnswer);
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
  // One insertion; the newline becomes CR LF in the text-mode stream. Flushed
  // here, not at exit, so that the filter knows the report is out.
  std::fputs(report, stdout);
  std::fflush(stdout);
  g_reportWritten = true;
}
