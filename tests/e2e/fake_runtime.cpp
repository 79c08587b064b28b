// A stand-in for the Stratoplay runtime library, for end-to-end tests only.
//
// Built three ways (see cmake/windows_extra.cmake):
//   (no define)                  the cloud copy: all 22 exports
//   FAKE_RUNTIME_NO_INITIALIZE2  the cloud copy without stpInitializeRuntimeSdk2
//   FAKE_RUNTIME_CLIENT          the client copy: stpInitializeRuntimeSdk and
//                                stpShutdownRuntimeSdk
//   FAKE_RUNTIME_USES_HELPER     (with FAKE_RUNTIME_CLIENT) imports stpHelperHello
//                                from stphelper.dll and calls it when initialised
//
// What each entry point returns comes from the environment (test code may read
// it; the probe never does):
//   STP_FAKE_INITIALIZE2       stpInitializeRuntimeSdk2      (default 0)
//   STP_FAKE_IN_CLOUD          stpIsRunningInCloud           (default 0)
//   STP_FAKE_CLIENT_INITIALIZE stpInitializeRuntimeSdk       (default 0)
// Values are C integers: decimal, or hexadecimal with 0x.
//   STP_FAKE_FAULT             "<role>:<point>": that copy faults (a write to
//                              address 0, then an undefined instruction) at
//                              attach, init, question, shutdown or detach
//   STP_FAKE_FAULT_KIND        what that fault is instead: "abort" calls
//                              abort() (the C runtime the probe uses), "hang"
//                              never returns
//   STP_FAKE_OWN_FILTER        "<role>": that copy sets an unhandled-exception
//                              filter of its own when it is mapped, as crash
//                              reporters do; the filter logs "own filter" and
//                              ends the process with the fault's code
//   STP_FAKE_PIN               "<role>": that copy pins itself when it is
//                              mapped (logs "pinned"), so that unloading it
//                              leaves it mapped until the process ends
//   STP_FAKE_SAY               "<role>[,<role>]": those copies write to
//                              standard output at
//                              attach, init, question, shutdown and detach: a
//                              line through the standard output handle
//                              ("<role> <point> says hello") and one through
//                              printf of the C runtime it shares with the
//                              probe ("<role> printf says hello"), flushed
//
// When STP_FAKE_LOG names a file, every call appends one line to it:
// "<role> <export>(<argument>)" for the entry points, and "<role> attach" /
// "<role> detach" when the library is mapped and unmapped, so a test sees both
// whether a copy was mapped at all and the order of the calls it received.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(FAKE_RUNTIME_CLIENT)
#define FAKE_RUNTIME_ROLE "client"
#else
#define FAKE_RUNTIME_ROLE "cloud"
#endif

namespace {

void LogLine(const char* text) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_LOG", path, sizeof path);
  if (n == 0 || n >= sizeof path) return;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[160];
  int len = std::snprintf(line, sizeof line, "%s %s\n", FAKE_RUNTIME_ROLE, text);
  if (len > 0) {
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(len), &written, nullptr);
  }
  CloseHandle(file);
}

// A fault the library's own code does not handle, where the test asks for one.
void FaultAt(const char* point) {
  char wanted[64];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_FAULT", wanted, sizeof wanted);
  if (n == 0 || n >= sizeof wanted) return;
  char here[64];
  std::snprintf(here, sizeof here, "%s:%s", FAKE_RUNTIME_ROLE, point);
  if (std::strcmp(wanted, here) != 0) return;
  char kind[16];
  n = GetEnvironmentVariableA("STP_FAKE_FAULT_KIND", kind, sizeof kind);
  if (n != 0 && n < sizeof kind && std::strcmp(kind, "abort") == 0) {
    LogLine("abort");
    std::abort();
  }
  if (n != 0 && n < sizeof kind && std::strcmp(kind, "hang") == 0) {
    LogLine("hang");
    for (;;) Sleep(INFINITE);
  }
  LogLine("fault");
  int* volatile nowhere = nullptr;
  *nowhere = 1;
  // Wine may have the first page mapped (for DOS programs); an undefined
  // instruction faults everywhere.
  __builtin_trap();
}

// A chatty library, where the test asks for one: what it writes must never
// reach the caller.
void SayAt(const char* point) {
  char wanted[32];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_SAY", wanted, sizeof wanted);
  if (n == 0 || n >= sizeof wanted || std::strstr(wanted, FAKE_RUNTIME_ROLE) == nullptr) return;
  char line[64];
  int len = std::snprintf(line, sizeof line, "%s %s says hello\r\n", FAKE_RUNTIME_ROLE, point);
  DWORD written = 0;
  if (len > 0) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(len), &written, nullptr);
  std::printf("%s printf says hello\n", FAKE_RUNTIME_ROLE);
  std::fflush(stdout);
}

void PinIfAsked() {
  char wanted[16];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_PIN", wanted, sizeof wanted);
  if (n == 0 || n >= sizeof wanted || std::strcmp(wanted, FAKE_RUNTIME_ROLE) != 0) return;
  // Any address inside this library names it.
  static const char anchor = 0;
  HMODULE self = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&anchor), &self)) {
    LogLine("pinned");
  }
}

LONG WINAPI OwnFilter(PEXCEPTION_POINTERS) {
  LogLine("own filter");
  return EXCEPTION_EXECUTE_HANDLER;
}

void SetOwnFilterIfAsked() {
  char wanted[16];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_OWN_FILTER", wanted, sizeof wanted);
  if (n == 0 || n >= sizeof wanted || std::strcmp(wanted, FAKE_RUNTIME_ROLE) != 0) return;
  SetUnhandledExceptionFilter(&OwnFilter);
  LogLine("own filter set");
}

int ValueFromEnvironment(const char* name) {
  char text[64];
  DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
  if (n == 0 || n >= sizeof text) return 0;
  return static_cast<int>(std::strtoul(text, nullptr, 0));
}

}  // namespace

extern "C" {

#if defined(FAKE_RUNTIME_CLIENT)

#if defined(FAKE_RUNTIME_USES_HELPER)
__declspec(dllimport) int __cdecl stpHelperHello();
#endif

__declspec(dllexport) int __cdecl stpInitializeRuntimeSdk(int flags) {
  char text[64];
  std::snprintf(text, sizeof text, "stpInitializeRuntimeSdk(%d)", flags);
  LogLine(text);
  SayAt("init");
  FaultAt("init");
#if defined(FAKE_RUNTIME_USES_HELPER)
  stpHelperHello();
#endif
  return ValueFromEnvironment("STP_FAKE_CLIENT_INITIALIZE");
}

#else

#if !defined(FAKE_RUNTIME_NO_INITIALIZE2)
__declspec(dllexport) int __cdecl stpInitializeRuntimeSdk2(float version) {
  char text[64];
  std::snprintf(text, sizeof text, "stpInitializeRuntimeSdk2(%.7g)", static_cast<double>(version));
  LogLine(text);
  SayAt("init");
  FaultAt("init");
  return ValueFromEnvironment("STP_FAKE_INITIALIZE2");
}
#endif

__declspec(dllexport) int __cdecl stpIsRunningInCloud() {
  LogLine("stpIsRunningInCloud()");
  SayAt("question");
  FaultAt("question");
  return ValueFromEnvironment("STP_FAKE_IN_CLOUD");
}

// Bound by the probe and never called: a call shows up in the log.
#define FAKE_UNUSED_EXPORT(name)                    \
  __declspec(dllexport) int __cdecl name() {        \
    LogLine(#name "()");                            \
    return 0;                                       \
  }
FAKE_UNUSED_EXPORT(stpIsInitialized)
FAKE_UNUSED_EXPORT(stpIsRunningInCloudSecure)
FAKE_UNUSED_EXPORT(stpRegisterExitCallback)
FAKE_UNUSED_EXPORT(stpRegisterSaveCallback)
FAKE_UNUSED_EXPORT(stpRegisterSessionInitCallback)
FAKE_UNUSED_EXPORT(stpRegisterPauseCallback)
FAKE_UNUSED_EXPORT(stpRegisterInstallCallback)
FAKE_UNUSED_EXPORT(stpIsTitleAvailable)
FAKE_UNUSED_EXPORT(stpGetTitlesAvailable)
FAKE_UNUSED_EXPORT(stpSetupTitle)
FAKE_UNUSED_EXPORT(stpTitleExited)
FAKE_UNUSED_EXPORT(stpGetClientIp)
FAKE_UNUSED_EXPORT(stpGetClientLanguageCode)
FAKE_UNUSED_EXPORT(stpGetClientCountryCode)
FAKE_UNUSED_EXPORT(stpGetCustomData)
FAKE_UNUSED_EXPORT(stpGetAuthData)
FAKE_UNUSED_EXPORT(stpFree)
FAKE_UNUSED_EXPORT(stpAppReady)
FAKE_UNUSED_EXPORT(stpSetActionZone)

#endif

__declspec(dllexport) int __cdecl stpShutdownRuntimeSdk() {
  LogLine("stpShutdownRuntimeSdk()");
  SayAt("shutdown");
  FaultAt("shutdown");
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    LogLine("attach");
    SetOwnFilterIfAsked();
    PinIfAsked();
    SayAt("attach");
    FaultAt("attach");
  }
  if (reason == DLL_PROCESS_DETACH) {
    LogLine("detach");
    SayAt("detach");
    FaultAt("detach");
  }
  return TRUE;
}

}  // extern "C"
