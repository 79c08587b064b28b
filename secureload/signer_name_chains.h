// The chains of certificate display names a client library's signer may show.
#pragma once

#include "platform/platform.h"

constexpr unsigned kSignerNameChainCount = 13;
constexpr unsigned kSignerNameChainSlots = 5;  // up to four names and the empty end mark

// Leaf first; each chain ends with an empty entry, the list with an empty chain.
extern const char* const SignerNameChains[kSignerNameChainCount + 1][kSignerNameChainSlots];

// Where the name matcher reads a signer's certificates from: the signer's
// own first, then, one climb at a time, the certificate that signed the one
// before.
class SignerNameSource {
 public:
  enum Climb { kClimbed, kAtTop, kBroken };
  // At the signer again, for the next chain.
  virtual void Start() = 0;
  // Lets go of what the climbs of one chain hold.
  virtual void Stop() = 0;
  virtual PCCERT_CONTEXT Current() const = 0;
  // To the certificate that signed the current one: kAtTop when there is
  // none, kBroken when the one found did not sign it.
  virtual Climb ClimbOne() = 0;
  // Whether a chain whose names go one past the top may end on the top's
  // issuer's name.
  virtual bool IssuerNameMayEnd() const = 0;

 protected:
  ~SignerNameSource() = default;
};

// Whether the source's certificates show one of the chains, in table order:
// each name, leaf first, is the display name of the certificate reached, and
// the names run out exactly at the top.
[[nodiscard]] bool MatchesSignerNames(SignerNameSource& source);

// The name gate's source. 1 (last error 0) when leafCert, followed upwards
// through its own store, matches one of the chains; else 0.
[[nodiscard]] DWORD MatchSignerNameChains(PCCERT_CONTEXT leafCert);

// A chain the platform's engine built: its elements, and no element more, are
// one of the chains.
[[nodiscard]] bool MatchesSignerNameChain(const CERT_SIMPLE_CHAIN& simple);
