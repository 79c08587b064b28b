// Judging one signer of a file's signature: the policy gate, then the platform
// trust provider.
#pragma once

#include "platform/platform.h"
#include "secureload/signature_policy.h"
#include "secureload/verify_observer.h"

// wintrust's entry point, resolved on the first call that reaches the trust
// gate and kept for the life of the process.
extern decltype(&::WinVerifyTrust) g_winVerifyTrust;

// Returns 1 when the signer is accepted, else 0; sets the last-error value on
// every return. cert: the signer's certificate as its proof (ProveSigner)
// found it and verified the signature with; a null one refuses. signer, cert,
// store, path and file stay the caller's. file: the handle the verified load
// holds on the file at path, which the trust provider is handed to read.
// verifiedChain: the signer's chain as a nested signature's proof built and
// verified it, which the pinned gate then judges instead of building the chain
// again; null for the primary signer, whose gate builds its own. observer,
// when given, is told which gate refused and why (kObservedRefusal).
[[nodiscard]] DWORD VerifySigner(PCMSG_SIGNER_INFO signer, PCCERT_CONTEXT cert, HCERTSTORE store,
                                 LPCWSTR path, HANDLE file, SignaturePolicy policy,
                                 const CERT_SIMPLE_CHAIN* verifiedChain = nullptr,
                                 const VerifyObserver* observer = nullptr);
