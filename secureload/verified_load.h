// Loading a library by absolute path, only after its embedded signature and
// signer have been accepted.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"
#include "secureload/verify_observer.h"

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
//
// observer, when not null, is told each step as it is taken (verify_observer.h).
[[nodiscard]] HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy,
                                          const VerifyObserver* observer = nullptr);
