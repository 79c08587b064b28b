// A stand-in for platform_probe.exe in the caller library's tests: it
// misbehaves as FAKE_PROBE_MODE says.
//
//   print    write FAKE_PROBE_OUTPUT and exit with FAKE_PROBE_EXIT (default 0)
//   hang     write FAKE_PROBE_OUTPUT, then never exit
//   flood    write 1 MiB, then exit 0
//   crash    write nothing and fault
//   orphan   start a copy of itself that inherits standard output and holds
//            it for 20 s (mode hold), then write FAKE_PROBE_OUTPUT and exit 0:
//            a caller that waits for the pipe to close waits 20 s
//   inspect  write {} CR LF only when standard input is at its end at once and
//            the launcher's handle named in CALLER_TEST_INHERITABLE did not
//            reach this process; otherwise say what is wrong
//
// FAKE_PROBE_OUTPUT knows the escapes \r, \n, \\ and \xHH. hang and flood
// first write the process id to FAKE_PROBE_PID_FILE, when it is set.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_text[4096];

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void Write(const char* bytes, DWORD length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, length, &written, nullptr);
}

// The decoded FAKE_PROBE_OUTPUT.
void WriteOutput() {
  const char* in = Env("FAKE_PROBE_OUTPUT");
  DWORD length = 0;
  while (*in != '\0' && length < sizeof(g_text)) {
    char c = *in++;
    if (c == '\\' && *in != '\0') {
      const char e = *in++;
      if (e == 'r') c = '\r';
      else if (e == 'n') c = '\n';
      else if (e == 'x' && in[0] != '\0' && in[1] != '\0') {
        const char hex[3] = {in[0], in[1], '\0'};
        c = static_cast<char>(std::strtoul(hex, nullptr, 16));
        in += 2;
      } else c = e;
    }
    g_text[length++] = c;
  }
  Write(g_text, length);
}

void WritePid() {
  const char* path = Env("FAKE_PROBE_PID_FILE");
  if (*path == '\0') return;
  if (FILE* file = std::fopen(path, "w")) {
    std::fprintf(file, "%lu\n", GetCurrentProcessId());
    std::fclose(file);
  }
}

const char* Inspect() {
  char byte = 0;
  DWORD read = 1;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) || read != 0) {
    return "stdin is not at its end\r\n";
  }
  const auto bait = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::strtoul(Env("CALLER_TEST_INHERITABLE"), nullptr, 10)));
  DWORD available = 0;
  if (bait != nullptr && PeekNamedPipe(bait, nullptr, 0, nullptr, &available, nullptr) && available == 4) {
    return "the launcher's pipe was inherited\r\n";
  }
  return "{}\r\n";
}

// A copy of this program in mode hold, with our standard output as its own.
void StartHolder() {
  wchar_t self[MAX_PATH];
  HANDLE out = nullptr;
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0 ||
      !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &out, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return;
  }
  SetEnvironmentVariableW(L"FAKE_PROBE_MODE", L"hold");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  PROCESS_INFORMATION started = {};
  if (CreateProcessW(self, nullptr, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
  CloseHandle(out);
}

}  // namespace

int wmain() {
  const char* mode = Env("FAKE_PROBE_MODE");
  if (std::strcmp(mode, "hang") == 0) {
    WritePid();
    WriteOutput();
    Sleep(INFINITE);
  } else if (std::strcmp(mode, "flood") == 0) {
    WritePid();
    std::memset(g_text, 'A', sizeof(g_text));
    for (int i = 0; i < 256; ++i) Write(g_text, sizeof(g_text));
  } else if (std::strcmp(mode, "crash") == 0) {
    *static_cast<volatile int*>(nullptr) = 1;
  } else if (std::strcmp(mode, "orphan") == 0) {
    StartHolder();
    WriteOutput();
  } else if (std::strcmp(mode, "hold") == 0) {
    Sleep(20000);
  } else if (std::strcmp(mode, "inspect") == 0) {
    const char* said = Inspect();
    Write(said, static_cast<DWORD>(std::strlen(said)));
  } else {
    WriteOutput();
    return static_cast<int>(std::strtoul(Env("FAKE_PROBE_EXIT"), nullptr, 0));
  }
  return 0;
}
