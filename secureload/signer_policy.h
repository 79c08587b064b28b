// Judging one signer of a file's signature: the policy gate, then the platform
// trust provider.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"

// wintrust's entry point, resolved on the first call that reaches the trust
// gate and kept for the life of the process.
extern decltype(&::WinVerifyTrust) g_winVerifyTrust;

// Returns 1 when the signer is accepted, else 0; sets the last-error value on
// every return. signer, store and path stay the caller's.
[[nodiscard]] DWORD VerifySigner(PCMSG_SIGNER_INFO signer, HCERTSTORE store, LPCWSTR path,
                                 SignaturePolicy policy);
