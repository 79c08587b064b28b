// Loading a library by absolute path, only after its embedded signature and
// signer have been accepted.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"

// Returns the module, or null with the reason in the thread's last-error value:
// ERROR_BAD_ARGUMENTS (not an absolute path), ERROR_MOD_NOT_FOUND (no such file,
// or a directory or device), ERROR_SHARING_VIOLATION (cannot be held for shared
// reading), CRYPT_E_NO_MATCH (signature refused), or the loader's own value.
[[nodiscard]] HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy);
