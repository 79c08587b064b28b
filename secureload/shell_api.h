// The two shell calls of the cloud binding, bound at run time from the system
// directory's shell32.dll and shlwapi.dll. The executable imports neither, so
// neither they nor anything they pull in can come from beside it.
#pragma once

#include "platform/platform.h"

struct ShellApiTable {
  decltype(&::SHGetSpecialFolderPathW) SHGetSpecialFolderPathW;
  decltype(&::PathFileExistsW) PathFileExistsW;
};
extern ShellApiTable g_shellApi;

// Loads both libraries through LoadSystemLibrary and fills g_shellApi, once;
// later calls only test it. True when both entry points are bound.
[[nodiscard]] bool BindShellApi();
