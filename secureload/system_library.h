// Loading the platform's own libraries from the system directory only.
#pragma once

#include "platform/platform.h"

// Cached loader test: 0 until the first call, then 9200 when the loader takes
// LOAD_LIBRARY_SEARCH_SYSTEM32 (build 9200, the first Windows 8 build, or later;
// or an older system whose kernel32 exports AddDllDirectory, its loader
// update), else 7600.
extern DWORD g_systemBuildLevel;

constexpr DWORD kBuildLevelSearchSystem32 = 9200;
constexpr DWORD kBuildLevelOlder = 7600;

// Module handles of the trust and shell libraries, each loaded through
// LoadSystemLibrary, null until a load succeeds, never released.
struct SystemLibraryCache {
  HMODULE crypt32;
  HMODULE cryptnet;
  HMODULE cryptbase;
  HMODULE wintrust;
  HMODULE shell32;
  HMODULE shlwapi;
  HMODULE imagehlp;
  HMODULE advapi32;  // its hash functions, for the checks of a nested signature
};
extern SystemLibraryCache g_systemLibraryCache;

// Whether the loader takes the LOAD_LIBRARY_SEARCH_* flags (g_systemBuildLevel
// 9200), testing once.
[[nodiscard]] bool LoaderTakesSearchFlags();

// name: a bare file name such as L"crypt32.dll". Returns the module loaded from
// the system directory, whose own dependencies were taken from the system
// directory too, or null with the failed load's last-error value.
[[nodiscard]] HMODULE LoadSystemLibrary(LPCWSTR name);

// Fills an empty entry-point slot from a module of the cache; a filled slot is
// never looked up again. True when the slot holds an entry point.
template <typename Fn>
bool ResolveEntryPoint(HMODULE module, Fn& slot, const char* exportName) {
  if (slot == nullptr) slot = ProcAs<Fn>(GetProcAddress(module, exportName));
  return slot != nullptr;
}
