// Loading a library by absolute path, only after its signature is accepted.
#include "secureload/verified_load.h"

#include "secureload/file_signature.h"

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

}  // namespace

HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy) {
  SetLastError(ERROR_SUCCESS);
  if (path == nullptr || !HasAbsoluteShape(path)) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return nullptr;
  }

  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }

  // Shared for reading only: while this handle is held nobody can open the file
  // for writing or delete it, so the bytes that are verified are the bytes that
  // get mapped.
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }

  HMODULE module = nullptr;
  if (VerifyFileSignature(path, file, policy) != 0) {
    module = LoadLibraryExW(path, nullptr, 0);
  } else {
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
  }

  // Closing may overwrite the thread's last error; the caller must see the
  // reason set above (or the loader's own).
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return module;
}
