// What a nested signature must prove before its signer counts for a file,
// beyond the policy and trust gates that every signer passes: its own
// signature verifies, it signs this very file, and its signer's chain verifies
// to a root the machine trusts.
#pragma once

#include "platform/platform.h"
#include "secureload/load_context.h"
#include "secureload/signature_policy.h"

enum NestedBinding {
  kNestedBound = 0,             // all three hold
  kNestedSignatureInvalid = 1,  // the signer's signature or its message digest does not verify
  kNestedNotThisFile = 2,       // its content is not indirect data naming this image (or names
                                //   an unsupported digest)
  kNestedChainUntrusted = 3,    // the signer's chain does not verify, or is not the policy's
  kNestedUncheckable = 4,       // something needed could not be had; refused all the same
};

// nested: the decoded nested signature message; signer: its signer record;
// store: the certificates it carries; context: the verified load's, whose held
// file the image digest is read from. Only kNestedBound admits the signer;
// then, when verifiedChain is not null, it receives the chain that verified,
// for the signer's gates to judge rather than build it again (the caller
// releases it with CertFreeCertificateChain); on any other verdict it is null.
// Sets no last-error value that a caller relies on.
[[nodiscard]] NestedBinding ProveNestedBinding(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer,
                                               HCERTSTORE store, LoadContext& context,
                                               SignaturePolicy policy,
                                               PCCERT_CHAIN_CONTEXT* verifiedChain);
