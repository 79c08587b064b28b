// A stand-in for the Stratoplay runtime library, for end-to-end tests only.
//
// Built three ways (see cmake/windows_extra.cmake):
//   (no define)                  the cloud copy: all 22 exports
//   FAKE_RUNTIME_NO_INITIALIZE2  the cloud copy without stpInitializeRuntimeSdk2
//   FAKE_RUNTIME_CLIENT          the client copy: stpInitializeRuntimeSdk and
//                                stpShutdownRuntimeSdk
//
// What each entry point returns comes from the environment (test code may read
// it; the probe never does):
//   STP_FAKE_INITIALIZE2       stpInitializeRuntimeSdk2      (default 0)
//   STP_FAKE_IN_CLOUD          stpIsRunningInCloud           (default 0)
//   STP_FAKE_CLIENT_INITIALIZE stpInitializeRuntimeSdk       (default 0)
// Values are C integers: decimal, or hexadecimal with 0x.
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

int ValueFromEnvironment(const char* name) {
  char text[64];
  DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
  if (n == 0 || n >= sizeof text) return 0;
  return static_cast<int>(std::strtoul(text, nullptr, 0));
}

}  // namespace

extern "C" {

#if defined(FAKE_RUNTIME_CLIENT)

__declspec(dllexport) int __cdecl stpInitializeRuntimeSdk(int flags) {
  char text[64];
  std::snprintf(text, sizeof text, "stpInitializeRuntimeSdk(%d)", flags);
  LogLine(text);
  return ValueFromEnvironment("STP_FAKE_CLIENT_INITIALIZE");
}

#else

#if !defined(FAKE_RUNTIME_NO_INITIALIZE2)
__declspec(dllexport) int __cdecl stpInitializeRuntimeSdk2(float version) {
  char text[64];
  std::snprintf(text, sizeof text, "stpInitializeRuntimeSdk2(%.7g)", static_cast<double>(version));
  LogLine(text);
  return ValueFromEnvironment("STP_FAKE_INITIALIZE2");
}
#endif

__declspec(dllexport) int __cdecl stpIsRunningInCloud() {
  LogLine("stpIsRunningInCloud()");
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
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) LogLine("attach");
  if (reason == DLL_PROCESS_DETACH) LogLine("detach");
  return TRUE;
}

}  // extern "C"
