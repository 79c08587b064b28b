// Loading a library by absolute path, only after its embedded signature and
// signer have been accepted.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"

// Returns the module, or null with the reason in the thread's last-error value:
// ERROR_BAD_ARGUMENTS (not an absolute path), ERROR_MOD_NOT_FOUND (no such file,
// or a directory or device), ERROR_SHARING_VIOLATION (cannot be held for shared
// reading), ERROR_FILE_TOO_LARGE (larger than kMaxRuntimeLibrarySize, or its
// size cannot be read), ERROR_FILE_INVALID (the held file's own path cannot be established
// and kept, or the loader mapped another file), CRYPT_E_NO_MATCH (signature
// refused), or the loader's own value.
//
// Once the file is held, every later step names the held file itself: its final
// path, with every junction and link resolved, while every directory on that
// path is held against renaming.
[[nodiscard]] HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy);

// The same; when heldPath is not null it receives the path that was verified
// and loaded (the held file's final path) in a local-heap buffer the caller
// releases with LocalFree, or null when no such path was established.
[[nodiscard]] HMODULE LoadVerifiedLibraryWithPath(LPCWSTR path, SignaturePolicy policy,
                                                  LPWSTR* heldPath);
