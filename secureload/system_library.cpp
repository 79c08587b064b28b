// Loading the platform's own libraries so that only the system directory's copy
// can ever be mapped.
#include "secureload/system_library.h"

#include <cstdint>

namespace {

// The platform's longest path in characters, terminator not counted.
constexpr uint64_t kLongestPath = 32767;

// Windows' OSVERSIONINFOEXW is 284 bytes; the host's wider WCHAR makes it
// larger, and the structure's own size is what the version test must be given.
static_assert(sizeof(OSVERSIONINFOEXW) ==
                  5 * sizeof(DWORD) + 128 * sizeof(WCHAR) + 3 * sizeof(WORD) + 2 * sizeof(BYTE),
              "OSVERSIONINFOEXW must have the platform's layout");

DWORD TestSystemBuildLevel() {
  const ULONGLONG conditions = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwBuildNumber = kBuildLevelSearchSystem32;
  if (VerifyVersionInfoW(&version, VER_BUILDNUMBER, conditions) != 0) {
    return kBuildLevelSearchSystem32;
  }
  // An older loader with its update takes the search flags as well; the update
  // is what brought kernel32's AddDllDirectory.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr) {
    return kBuildLevelSearchSystem32;
  }
  return kBuildLevelOlder;
}

// Loaders without the "system directory only" flag: build
// <system directory>\<name> and load that exact path, with the altered search
// order, which looks for the library's own dependencies in its directory (the
// system directory) instead of beside the executable.
HMODULE LoadFromSystemDirectoryPath(LPCWSTR name) {
  const UINT directorySize = GetSystemDirectoryW(nullptr, 0);  // characters, terminator included
  if (directorySize == 0) return nullptr;  // the query's own last error stays

  const size_t nameLength = static_cast<size_t>(lstrlenW(name));
  // The directory's K characters, a separator and the name's N: K + 1 + N is
  // the directory's size (its terminator counted) plus N. No path the loader
  // takes is longer than kLongestPath; summed in 64 bits and held to that, the
  // byte count below cannot wrap with a 32-bit size_t either.
  if (uint64_t{directorySize} + nameLength > kLongestPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  const size_t characters = nameLength + directorySize + 1;  // and the terminator

  // No fall-back to the bare name here: under the default search order the
  // executable's directory and the working directory come first, and a planted
  // copy of a trust library there would be mapped.
  WCHAR* path = static_cast<WCHAR*>(LocalAlloc(LPTR, characters * sizeof(WCHAR)));
  if (path == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  const UINT written = GetSystemDirectoryW(path, directorySize);
  if (written == 0 || written >= directorySize) {
    // 0: the query failed and set its reason. At least the buffer's size: the
    // directory grew since it was measured and nothing was written.
    const DWORD error = written == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    LocalFree(path);
    SetLastError(error);
    return nullptr;
  }

  size_t length = written;  // 1 <= written < directorySize
  if (path[length - 1] != L'\\') path[length++] = L'\\';
  for (size_t i = 0; i < nameLength; ++i) path[length + i] = name[i];
  // The zero fill is the terminator: length + nameLength < characters.

  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  // The caller reads a failed load's reason (cryptnet's 126) after this returns.
  const DWORD error = GetLastError();
  LocalFree(path);
  SetLastError(error);
  return module;
}

}  // namespace

bool LoaderTakesSearchFlags() {
  if (g_systemBuildLevel == 0) g_systemBuildLevel = TestSystemBuildLevel();
  return g_systemBuildLevel >= kBuildLevelSearchSystem32;
}

HMODULE LoadSystemLibrary(LPCWSTR name) {
  if (LoaderTakesSearchFlags()) {
    // The flag holds for the library's dependencies too: all from System32.
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (name == nullptr) return LoadLibraryExW(nullptr, nullptr, 0);  // the loader refuses it
  return LoadFromSystemDirectoryPath(name);
}
