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

// One chain's walk up the leaf's store. The names run out exactly at the top of
// what the store yields: the last name is the subject of a certificate without
// an issuer in the store, or, right after that certificate's own subject, its
// issuer's name.
bool MatchesChain(PCCERT_CONTEXT leafCert, const char* const (&chain)[kSignerNameChainSlots]) {
  PCCERT_CONTEXT current = leafCert;
  // What the last lookup returned and the walk now holds; a lookup given it
  // releases it.
  PCCERT_CONTEXT previous = nullptr;
  BOOL issuerMode = FALSE;
  bool verdict = false;
  unsigned index = 0;
  for (;;) {
    if (!MatchCertificate(current, issuerMode, chain[index], 0, nullptr)) break;
    if (issuerMode) {
      verdict = IsLastName(chain, index);
      break;
    }
    // The lookup checks that what it finds signed the current certificate,
    // and leaves the flag set when it did not. No time or revocation checks.
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    PCCERT_CONTEXT issuer = g_cryptoApi.CertGetIssuerCertificateFromStore(
        leafCert->hCertStore, current, previous, &flags);
    previous = issuer;
    if (issuer != nullptr) {
      // A certificate that carries the issuer's name or key identifier but
      // did not sign the one below ends the chain: the walk must climb the
      // certificates that really signed, as the trust gate does.
      if (flags & CERT_STORE_SIGNATURE_FLAG) break;
      current = issuer;
      if (IsLastName(chain, index)) break;  // the top of the chain has an issuer in the store
      ++index;
      continue;
    }
    if (IsLastName(chain, index)) {
      verdict = true;
      break;
    }
    // Nothing above the current certificate: the next name may still be its
    // issuer's. The store keeps the certificate readable after the lookup took
    // the walk's hold on it.
    issuerMode = TRUE;
    ++index;
  }
  if (previous != nullptr) g_cryptoApi.CertFreeCertificateContext(previous);
  return verdict;
}

}  // namespace

DWORD MatchSignerNameChains(PCCERT_CONTEXT leafCert) {
  for (unsigned i = 0; i <= kSignerNameChainCount && SignerNameChains[i][0] != nullptr; ++i) {
    if (MatchesChain(leafCert, SignerNameChains[i])) {
      SetLastError(0);
      return 1;
    }
  }
  return 0;
}
