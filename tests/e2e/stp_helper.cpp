// stphelper.dll: a helper DLL that a runtime library imports. It is never
// verified, so it may only ever come from where the probe allows a runtime
// library's dependencies to come from. Logs like the fake runtime libraries
// ("helper attach", "helper stpHelperHello()", "helper detach") to the file that
// STP_FAKE_LOG names.
#include <windows.h>

#include <cstring>

namespace {

void LogLine(const char* text) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("STP_FAKE_LOG", path, sizeof path);
  if (n == 0 || n >= sizeof path) return;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, "helper ", 7, &written, nullptr);
  WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" {

__declspec(dllexport) int __cdecl stpHelperHello() {
  LogLine("stpHelperHello()");
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) LogLine("attach");
  if (reason == DLL_PROCESS_DETACH) LogLine("detach");
  return TRUE;
}

}  // extern "C"
