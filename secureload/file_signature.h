// Does a file carry an embedded Authenticode signature with a signer that the
// given policy accepts? The primary signer is tried first, then each nested
// signature it carries.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"
#include "secureload/verify_observer.h"

// file: the handle the caller holds open on the file at path; a nested
// signature counts only when it signs the bytes read through it.
// Returns 1 when a signer was accepted (last error 0), else 0 with the reason in
// the thread's last-error value (0 when the signers themselves were refused).
// observer, when not null, is told how the signers were judged.
[[nodiscard]] DWORD VerifyFileSignature(LPCWSTR path, HANDLE file, SignaturePolicy policy,
                                        const VerifyObserver* observer = nullptr);
