// MatchSignerNameChains: the client library's signer, followed upwards through
// the certificates its own signature carries, must show one of these chains of
// display names.
#include "secureload/signer_name_chains.h"

#include "secureload/crypto_api.h"
#include "secureload/pinned_chain.h"

// Tried in this order. Chains 1 to 3 are chains 4 to 6 with the cross-signing
// root on top.
const char* const SignerNameChains[kSignerNameChainCount + 1][kSignerNameChainSlots] = {
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA",
     "Verimark Class 3 Public Primary Certification Authority - G5",
     "Microsoft Code Verification Root", nullptr},
    {"KORVEX Corporation", "Verimark Class 3 Code Signing 2010 CA",
     "Verimark Class 3 Public Primary Certification Authority - G5",
     "Microsoft Code Verification Root", nullptr},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA - G2",
     "Verimark Universal Root Certification Authority", "Microsoft Code Verification Root",
     nullptr},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA",
     "Verimark Class 3 Public Primary Certification Authority - G5", nullptr, nullptr},
    {"KORVEX Corporation", "Verimark Class 3 Code Signing 2010 CA",
     "Verimark Class 3 Public Primary Certification Authority - G5", nullptr, nullptr},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA - G2",
     "Verimark Universal Root Certification Authority", nullptr, nullptr},
    {"KORVEX Corporation PE Sign v2016", "KORVEX Subordinate CA 2016 v2",
     "Microsoft Digital Media Authority 2005", nullptr, nullptr},
    {"KORVEX Corporation-PE-Prod-Sha1", "KORVEX Subordinate CA 2018-Prod-Sha1",
     "Microsoft Digital Media Authority 2005", nullptr, nullptr},
    {"KORVEX Corporation-PE-Prod-Sha2", "KORVEX Subordinate CA 2018-Prod-Sha2",
     "Microsoft Digital Media Authority 2005", nullptr, nullptr},
    {"KORVEX Corporation-PE-Prod-Sha1", "KORVEX Subordinate CA 2019-Prod-Sha1",
     "Microsoft Digital Media Authority 2005", nullptr, nullptr},
    {"KORVEX Corporation-PE-Prod-Sha2", "KORVEX Subordinate CA 2019-Prod-Sha2",
     "Microsoft Digital Media Authority 2005", nullptr, nullptr},
    {"KORVEX CORPORATION", "KORVEX Subordinate CA", "Microsoft Digital Media Authority 2005",
     nullptr, nullptr},
    {"Korvex Corporation", "Certivo SHA2 Assured ID Code Signing CA", "Certivo Assured ID Root CA",
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

namespace {

bool IsLastName(const char* const (&chain)[kSignerNameChainSlots], unsigned index) {
  return index + 1 >= kSignerNameChainSlots || chain[index + 1] == nullptr;
}

// Where the matcher reads a signer's certificates from: the signer's own
// first, then, one climb at a time, the certificate that signed the one
// before. Either the signer's own store, climbed by the issuer lookup, or (when
// engineChain is set) a chain as the platform's engine built it, whose top is
// its end.
struct NameSource {
  PCCERT_CONTEXT leaf;
  const CERT_SIMPLE_CHAIN* engineChain;
  PCCERT_CONTEXT current;
  // The store: what the last lookup returned and the walk now holds.
  PCCERT_CONTEXT previous;
  // The engine's chain: the element the walk stands on.
  DWORD position;
};

enum Climb { kClimbed, kAtTop, kBroken };

// To the certificate that signed the current one: kAtTop when there is none,
// kBroken when the one found did not sign it.
Climb ClimbOne(NameSource& source) {
  if (source.engineChain != nullptr) {
    if (source.position + 1 >= source.engineChain->cElement) return kAtTop;
    ++source.position;
    source.current = source.engineChain->rgpElement[source.position]->pCertContext;
    return kClimbed;
  }
  // The lookup checks that what it finds signed the current certificate,
  // and leaves the flag set when it did not. No time or revocation checks.
  // Given what the last lookup returned, it releases that and goes on after
  // it in the store.
  DWORD flags = CERT_STORE_SIGNATURE_FLAG;
  PCCERT_CONTEXT issuer = g_cryptoApi.CertGetIssuerCertificateFromStore(
      source.leaf->hCertStore, source.current, source.previous, &flags);
  source.previous = issuer;
  if (issuer == nullptr) return kAtTop;
  // A certificate that carries the issuer's name or key identifier but did
  // not sign the one below ends the chain: the walk must climb the
  // certificates that really signed, as the trust gate does.
  if (flags & CERT_STORE_SIGNATURE_FLAG) return kBroken;
  source.current = issuer;
  return kClimbed;
}

// One chain's walk up the source. The names run out exactly at the top of
// what the source yields: the last name is the subject of a certificate with
// no issuer above it, or, in the store only (which keeps the top readable
// after the lookup took the walk's hold on it), right after that
// certificate's own subject, its issuer's name.
bool MatchesChain(NameSource& source, const char* const (&chain)[kSignerNameChainSlots]) {
  BOOL issuerMode = FALSE;
  unsigned index = 0;
  for (;;) {
    if (!MatchCertificate(source.current, issuerMode, chain[index], 0, nullptr)) return false;
    if (issuerMode) return IsLastName(chain, index);
    const Climb climb = ClimbOne(source);
    if (climb == kBroken) return false;
    if (climb == kClimbed) {
      if (IsLastName(chain, index)) return false;  // the top of the chain has an issuer above it
      ++index;
      continue;
    }
    if (IsLastName(chain, index)) return true;
    // Nothing above the current certificate: the next name may still be its
    // issuer's.
    if (source.engineChain != nullptr) return false;
    issuerMode = TRUE;
    ++index;
  }
}

// The chains in table order, each walked from the signer again.
bool MatchesSignerNames(NameSource& source) {
  for (unsigned i = 0; i <= kSignerNameChainCount && SignerNameChains[i][0] != nullptr; ++i) {
    source.current = source.leaf;
    source.position = 0;
    const bool matched = MatchesChain(source, SignerNameChains[i]);
    if (source.previous != nullptr) g_cryptoApi.CertFreeCertificateContext(source.previous);
    source.previous = nullptr;
    if (matched) return true;
  }
  return false;
}

}  // namespace

DWORD MatchSignerNameChains(PCCERT_CONTEXT leafCert) {
  NameSource source = {leafCert, nullptr, leafCert, nullptr, 0};
  if (!MatchesSignerNames(source)) return 0;
  SetLastError(0);
  return 1;
}

bool MatchesSignerNameChain(const CERT_SIMPLE_CHAIN& simple) {
  if (simple.cElement == 0 || simple.rgpElement == nullptr) return false;
  PCCERT_CONTEXT leaf = simple.rgpElement[0]->pCertContext;
  NameSource source = {leaf, &simple, leaf, nullptr, 0};
  return MatchesSignerNames(source);
}
