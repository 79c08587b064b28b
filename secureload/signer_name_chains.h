// The chains of certificate display names a client library's signer may show.
#pragma once

#include "platform/platform.h"

constexpr unsigned kSignerNameChainCount = 13;
constexpr unsigned kSignerNameChainSlots = 5;  // up to four names and the empty end mark

// Leaf first; each chain ends with an empty entry, the list with an empty chain.
extern const char* const SignerNameChains[kSignerNameChainCount + 1][kSignerNameChainSlots];

// One matcher, two sources of certificates. The name gate's: 1 (last error 0)
// when leafCert, followed upwards through its own store, matches one of the
// chains; else 0.
[[nodiscard]] DWORD MatchSignerNameChains(PCCERT_CONTEXT leafCert);

// A chain the platform's engine built: its elements, and no element more, are
// one of the chains.
[[nodiscard]] bool MatchesSignerNameChain(const CERT_SIMPLE_CHAIN& simple);
