// Loading the platform's own libraries from the system directory only.
#pragma once

#include "platform/platform.h"

// Cached operating-system test: 0 until the first call, then 9200 when the build
// number is at least 9200 (the first Windows 8 build), else 7600.
extern DWORD g_systemBuildLevel;

constexpr DWORD kBuildLevelSearchSystem32 = 9200;
constexpr DWORD kBuildLevelOlder = 7600;

// Module handles of the trust libraries, each loaded through LoadSystemLibrary,
// null until a load succeeds, never released.
struct SystemLibraryCache {
  HMODULE crypt32;
  HMODULE cryptnet;
  HMODULE cryptbase;
  HMODULE wintrust;
  HMODULE advapi32;  // its hash functions, for the checks of a nested signature
};
extern SystemLibraryCache g_systemLibraryCache;

// name: a bare file name such as L"crypt32.dll". Returns the module loaded from
// the system directory, or null with the failed load's last-error value.
[[nodiscard]] HMODULE LoadSystemLibrary(LPCWSTR name);
