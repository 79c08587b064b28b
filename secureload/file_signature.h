// Does a file carry an embedded Authenticode signature with a signer that the
// given policy accepts? The primary signer is tried first, then each nested
// signature it carries.
#pragma once

#include "platform/platform.h"
#include "secureload/load_context.h"
#include "secureload/signature_policy.h"

// context: the verified load's, whose held handle is open on the file at path;
// a nested signature counts only when it signs the bytes read through it. The
// walk over nested signatures spends the context's candidates and shares its
// image digests.
// Returns 1 when a signer was accepted (last error 0), else 0 with the reason in
// the thread's last-error value (0 when the signers themselves were refused).
[[nodiscard]] DWORD VerifyFileSignature(LPCWSTR path, LoadContext& context,
                                        SignaturePolicy policy);
