// Does a file carry an embedded Authenticode signature with a signer that the
// given policy accepts? The primary signer is tried first, then each nested
// signature it carries.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"

// Returns 1 when a signer was accepted (last error 0), else 0 with the reason in
// the thread's last-error value (0 when the signers themselves were refused).
[[nodiscard]] DWORD VerifyFileSignature(LPCWSTR path, SignaturePolicy policy);
