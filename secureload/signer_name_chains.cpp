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

// One chain's walk up the source. The names run out exactly at the top of
// what the source yields: the last name is the subject of a certificate with
// no issuer above it, or, where the source allows, right after that
// certificate's own subject, its issuer's name.
bool MatchesChain(SignerNameSource& source, const char* const (&chain)[kSignerNameChainSlots]) {
  BOOL issuerMode = FALSE;
  unsigned index = 0;
  for (;;) {
    if (!MatchCertificate(source.Current(), issuerMode, chain[index], 0, nullptr)) return false;
    if (issuerMode) return IsLastName(chain, index);
    const SignerNameSource::Climb climb = source.ClimbOne();
    if (climb == SignerNameSource::kBroken) return false;
    if (climb == SignerNameSource::kClimbed) {
      if (IsLastName(chain, index)) return false;  // the top of the chain has an issuer above it
      ++index;
      continue;
    }
    if (IsLastName(chain, index)) return true;
    // Nothing above the current certificate: the next name may still be its
    // issuer's.
    if (!source.IssuerNameMayEnd()) return false;
    issuerMode = TRUE;
    ++index;
  }
}

// The signer's own store, climbed by the issuer lookup.
class StoreNameSource final : public SignerNameSource {
 public:
  explicit StoreNameSource(PCCERT_CONTEXT leaf) : leaf_(leaf), current_(leaf) {}

  void Start() override { current_ = leaf_; }
  void Stop() override {
    if (previous_ != nullptr) g_cryptoApi.CertFreeCertificateContext(previous_);
    previous_ = nullptr;
  }
  PCCERT_CONTEXT Current() const override { return current_; }
  Climb ClimbOne() override {
    // The lookup checks that what it finds signed the current certificate,
    // and leaves the flag set when it did not. No time or revocation checks.
    // Given what the last lookup returned, it releases that and goes on after
    // it in the store.
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    PCCERT_CONTEXT issuer = g_cryptoApi.CertGetIssuerCertificateFromStore(
        leaf_->hCertStore, current_, previous_, &flags);
    previous_ = issuer;
    if (issuer == nullptr) return kAtTop;
    // A certificate that carries the issuer's name or key identifier but did
    // not sign the one below ends the chain: the walk must climb the
    // certificates that really signed, as the trust gate does.
    if (flags & CERT_STORE_SIGNATURE_FLAG) return kBroken;
    current_ = issuer;
    return kClimbed;
  }
  // The store keeps the top readable after the lookup took the walk's hold
  // on it.
  bool IssuerNameMayEnd() const override { return true; }

 private:
  PCCERT_CONTEXT leaf_;
  PCCERT_CONTEXT current_;
  // What the last lookup returned and the walk now holds.
  PCCERT_CONTEXT previous_ = nullptr;
};

// A chain as the platform's engine built it: its elements in order, and its
// top is the end (the engine's top has no name above it to offer).
class EngineChainNameSource final : public SignerNameSource {
 public:
  explicit EngineChainNameSource(const CERT_SIMPLE_CHAIN& simple) : simple_(simple) {}

  void Start() override { position_ = 0; }
  void Stop() override {}
  PCCERT_CONTEXT Current() const override { return simple_.rgpElement[position_]->pCertContext; }
  Climb ClimbOne() override {
    if (position_ + 1 >= simple_.cElement) return kAtTop;
    ++position_;
    return kClimbed;
  }
  bool IssuerNameMayEnd() const override { return false; }

 private:
  const CERT_SIMPLE_CHAIN& simple_;
  DWORD position_ = 0;
};

}  // namespace

bool MatchesSignerNames(SignerNameSource& source) {
  for (unsigned i = 0; i <= kSignerNameChainCount && SignerNameChains[i][0] != nullptr; ++i) {
    source.Start();
    const bool matched = MatchesChain(source, SignerNameChains[i]);
    source.Stop();
    if (matched) return true;
  }
  return false;
}

DWORD MatchSignerNameChains(PCCERT_CONTEXT leafCert) {
  StoreNameSource source(leafCert);
  if (!MatchesSignerNames(source)) return 0;
  SetLastError(0);
  return 1;
}

bool MatchesSignerNameChain(const CERT_SIMPLE_CHAIN& simple) {
  if (simple.cElement == 0 || simple.rgpElement == nullptr) return false;
  EngineChainNameSource source(simple);
  return MatchesSignerNames(source);
}
