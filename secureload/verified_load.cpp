// Loading a library by absolute path, only after its signature is accepted.
#include "secureload/verified_load.h"

#include <cwchar>

#include "secureload/file_signature.h"
#include "secureload/load_context.h"
#include "secureload/system_library.h"

namespace {

bool IsAsciiLetter(WCHAR c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool IsSlash(WCHAR c) { return c == L'\\' || c == L'/'; }

// Only an absolute path keeps the loader's search order out of play: one that
// starts at a root (which admits UNC and root-relative paths) or at a drive's
// root. Only the first three characters are looked at, each only when the one
// before it matched, so a short string is never read past its terminator.
bool HasAbsoluteShape(LPCWSTR path) {
  if (IsSlash(path[0])) return true;
  return IsAsciiLetter(path[0]) && path[1] == L':' && IsSlash(path[2]);
}

// The platform's longest path, terminator included, and a little room for the
// \\?\UNC\ prefix of a final path.
constexpr DWORD kLongestFinalPath = 32768 + 8;

// The final path of an open file or directory: every junction and link on the
// way resolved, in the \\?\C:\... or \\?\UNC\server\share\... form. A local-heap
// buffer, or null with the last error set.
LPWSTR FinalPathOf(HANDLE handle) {
  DWORD capacity = MAX_PATH + 1;
  // The name can grow between the size query and the fill; a few rounds settle it.
  for (int round = 0; round < 4; ++round) {
    auto* buffer = static_cast<LPWSTR>(LocalAlloc(LPTR, capacity * sizeof(WCHAR)));
    if (buffer == nullptr) return nullptr;
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length != 0 && length < capacity) return buffer;
    const DWORD error = GetLastError();
    LocalFree(buffer);
    if (length == 0) {
      SetLastError(error);
      return nullptr;
    }
    if (length > kLongestFinalPath) break;
    capacity = length;  // the size needed, terminator included
  }
  SetLastError(ERROR_FILE_INVALID);
  return nullptr;
}

// Where the first directory below the volume's root starts in a final path: 7
// for \\?\C:\..., after the share for \\?\UNC\server\share\.... 0 for any other
// form, which is not taken.
size_t RootLength(LPCWSTR path) {
  if (wcsncmp(path, L"\\\\?\\", 4) != 0) return 0;
  if (IsAsciiLetter(path[4]) && path[5] == L':' && path[6] == L'\\') return 7;
  if (wcsncmp(path + 4, L"UNC\\", 4) != 0) return 0;
  size_t i = 8;
  for (int part = 0; part < 2; ++part) {  // server, share
    const size_t start = i;
    while (path[i] != L'\0' && path[i] != L'\\') ++i;
    if (i == start || path[i] != L'\\') return 0;
    ++i;
  }
  return i;
}

// The directories on a final path, held open against renaming and deletion
// (no FILE_SHARE_DELETE) while the file below them is verified and mapped.
struct HeldDirectories {
  HANDLE* handles = nullptr;
  size_t count = 0;
};

void ReleaseDirectories(HeldDirectories& held) {
  const DWORD error = GetLastError();
  while (held.count != 0) CloseHandle(held.handles[--held.count]);
  LocalFree(held.handles);
  held.handles = nullptr;
  SetLastError(error);
}

// Holds every directory between the volume's root and the file, each checked to
// be the real directory of that name (its own final path is the prefix, so no
// junction or link stands there). False, with the last error set, when one
// cannot be held or is not what the path says.
bool HoldDirectories(LPWSTR finalPath, HeldDirectories& held) {
  const size_t root = RootLength(finalPath);
  if (root == 0) {
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  const size_t length = wcslen(finalPath);
  size_t directories = 0;
  for (size_t i = root; i < length; ++i) {
    if (finalPath[i] == L'\\') ++directories;
  }
  if (directories == 0) return true;  // the file lies in the volume's root
  held.handles = static_cast<HANDLE*>(LocalAlloc(LPTR, directories * sizeof(HANDLE)));
  if (held.handles == nullptr) return false;

  for (size_t i = root; i < length; ++i) {
    if (finalPath[i] != L'\\') continue;
    finalPath[i] = L'\0';  // the directory's path, up to this separator
    // Reading and writing stay shared, so the directory works as usual for
    // everyone else; only renaming and deleting it wait until we are done.
    HANDLE directory = CreateFileW(finalPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool genuine = false;
    if (directory != INVALID_HANDLE_VALUE) {
      held.handles[held.count++] = directory;
      LPWSTR own = FinalPathOf(directory);
      genuine = own != nullptr && wcscmp(own, finalPath) == 0;
      LocalFree(own);
    }
    finalPath[i] = L'\\';
    if (!genuine) {
      SetLastError(ERROR_FILE_INVALID);
      return false;
    }
  }
  return true;
}

// The trust provider reads a file's certificate table through imagehlp.dll,
// which it loads by bare name on first use (a delayed import). Some loaders
// (Wine's) resolve delayed imports with their own search order, beside the
// executable first, whatever the process's default directories say. Resident
// from the system directory beforehand, the name can only reach that copy. Its
// absence is no failure: the trust provider then reports its own.
void MakeImageHelperResident() {
  if (g_systemLibraryCache.imagehlp == nullptr) {
    g_systemLibraryCache.imagehlp = LoadSystemLibrary(L"imagehlp.dll");
  }
}

// ntdll's answer to whether two mapped views are of one file: an NTSTATUS, 0
// when they are.
using AreMappedFilesTheSameFn = LONG(WINAPI*)(PVOID, PVOID);

// Whether the image the loader mapped for the module is the held file itself.
// No name will do: the module's file name is the one the loader was given, and
// what that name leads to can change between the checks and the load (a drive
// letter redefined in the user's own logon session) without any held object
// being renamed; the mapped image's name is the spelling of whoever first
// created its section (an 8.3 name, a hard link's name). The kernel's own
// answer compares the files behind a view of the held handle and the module's
// image. The view is one byte, read-only, made from the held handle: nothing
// is opened again by name. Whatever cannot be established (the call missing,
// the file not mappable, any status other than exactly 0) is no match.
bool MapsHeldFile(HMODULE module, HANDLE file) {
  // In ntdll since Windows Vista; looked up, so that a system without it
  // refuses instead of failing to start the probe.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto sameFile =
      ntdll != nullptr
          ? ProcAs<AreMappedFilesTheSameFn>(GetProcAddress(ntdll, "NtAreMappedFilesTheSame"))
          : nullptr;
  if (sameFile == nullptr) return false;
  HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 1, nullptr);
  if (section == nullptr) return false;
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 1);
  const bool same = view != nullptr && sameFile(reinterpret_cast<PVOID>(module), view) == 0;
  if (view != nullptr) UnmapViewOfFile(view);
  CloseHandle(section);
  return same;
}

}  // namespace

HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy,
                            const VerifyObserver* observer) {
  SetLastError(ERROR_SUCCESS);
  if (path == nullptr || !HasAbsoluteShape(path)) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return nullptr;
  }

  const DWORD attributes = GetFileAttributesW(path);
  Observe(observer, kObservedAttributes, attributes);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }

  // Shared for reading only: while this handle is held nobody can open the file
  // for writing, rename it or delete it, so the bytes that are verified are the
  // bytes that get mapped.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  // Nothing larger than any runtime library is read at all: its size is taken
  // from the held handle, before the signature checks read the file.
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
      size.QuadPart > int64_t{kMaxRuntimeLibrarySize}) {
    CloseHandle(file);
    SetLastError(ERROR_FILE_TOO_LARGE);
    return nullptr;
  }
  LoadContext context;
  context.file = file;
  context.observer = observer;

  // The caller's path may lead elsewhere a moment later (a junction on it can
  // be pointed at another folder at any time), so from here on only the held
  // file's own final path is used. Its directories are held against renaming,
  // and the file's final path is read again once they are: a directory swapped
  // in between shows there. Whatever cannot be established refuses the load.
  HMODULE module = nullptr;
  HeldDirectories directories;
  LPWSTR finalPath = FinalPathOf(file);
  if (finalPath != nullptr) ObservePath(observer, kObservedHeldPath, 0, finalPath);
  if (finalPath == nullptr) {
    SetLastError(ERROR_FILE_INVALID);
  } else if (HoldDirectories(finalPath, directories)) {
    LPWSTR again = FinalPathOf(file);
    const bool unchanged = again != nullptr && wcscmp(again, finalPath) == 0;
    LocalFree(again);
    if (!unchanged) {
      SetLastError(ERROR_FILE_INVALID);
    } else {
      MakeImageHelperResident();
      if (VerifyFileSignature(finalPath, context, policy) != 0) {
        // The library's dependencies come from the executable's directory,
        // where the client copy ships with its helpers, and from the system
        // directory; never from the working directory, PATH, the Windows
        // directory, or the library's own directory (for the cloud copy, a
        // folder users can make). Older loaders take no such flags: the
        // process's search then is the standard order without the working
        // directory.
        const DWORD search =
            LoaderTakesSearchFlags()
                ? LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                : 0;
        module = LoadLibraryExW(finalPath, nullptr, search);
        const DWORD loaderError = GetLastError();
        if (module != nullptr && !MapsHeldFile(module, file)) {
          // The loader mapped another file for this name (a redirection, a
          // drive letter redefined): not the one verified. Its DllMain has run,
          // but nothing else of it is used.
          FreeLibrary(module);
          module = nullptr;
          SetLastError(ERROR_FILE_INVALID);
        } else {
          SetLastError(loaderError);  // the identity check's calls leave their own
        }
      } else {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
      }
    }
  } else if (GetLastError() == ERROR_SUCCESS) {
    SetLastError(ERROR_FILE_INVALID);
  }

  // Releasing may overwrite the thread's last error; the caller must see the
  // reason set above (or the loader's own).
  const DWORD error = GetLastError();
  ReleaseDirectories(directories);
  CloseHandle(file);
  LocalFree(finalPath);
  SetLastError(error);
  return module;
}
