// The certificate chain the cloud library's signer must have, and the one
// comparison that applies it.
#pragma once

#include "platform/platform.h"

struct PinnedChainRow {
  const char* expectedName;  // simple display name, printable ASCII, compared exactly
  DWORD keyLength;           // 0 when no key is pinned
  const BYTE* keyBytes;      // DER RSAPublicKey of the subject, or null
};

constexpr unsigned kPinnedChainLength = 4;  // row 0 the signer, row 3 the root

struct PinnedChain {
  PinnedChainRow rows[kPinnedChainLength];
};

// The release build links the release pin; tests link a table of their own.
extern const PinnedChain PinnedChainTable[];
extern const unsigned kPinnedChainCount;

// 1 when cert carries expectedName (its issuer's name when useIssuerName) and,
// where a key is given, exactly that subject public key; else 0.
[[nodiscard]] DWORD MatchCertificate(PCCERT_CONTEXT cert, BOOL useIssuerName,
                                     const char* expectedName, DWORD keyLength,
                                     const BYTE* keyBytes);

// Whether a simple chain is one of the pinned chains: exactly four elements
// that match a pinned chain's rows in order, names and keys, each valid now.
// The chains are tried in table order.
[[nodiscard]] bool MatchesPinnedChain(const CERT_SIMPLE_CHAIN& simple);
