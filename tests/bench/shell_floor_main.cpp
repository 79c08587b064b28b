// A diagnostic floor between the empty program and the probe's run with no
// runtime library present: the two shell calls that run on every start (the
// common application-data folder, then whether a file exists under it), which
// bring shell32.dll and shlwapi.dll, and what they load, into the process.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>

int main() {
  wchar_t path[MAX_PATH] = {};
  const BOOL found = SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE);
  const BOOL exists = found ? PathFileExistsW(path) : FALSE;
  std::fputs(found && exists ? "{}\n" : "no folder\n", stdout);
  return found && exists ? 0 : 1;
}
