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
  kNestedChainUntrusted = 3,    // the signer's chain does not verify
  kNestedUncheckable = 4,       // something needed could not be had; refused all the same
  kNestedChainNotAllowed = 5,   // the signer's chain verifies but is not one the policy allows
};

// nested: the decoded nested signature message; signer: its signer record;
// store: the certificates it carries; context: the verified load's, whose held
// file the image digest is read from. The signer's certificate and signature
// are the signer proof's (ProveSigner). Only kNestedBound admits the signer;
// then *signerCert receives the certificate the proof found, and
// *verifiedChain the chain that verified, for the signer's gates to judge
// rather than look up or build again (the caller releases them with
// CertFreeCertificateContext and CertFreeCertificateChain); on any other
// verdict both are null. Both slots are the caller's and must be given. Sets no last-error value that a caller relies on.
[[nodiscard]] NestedBinding ProveNestedBinding(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer,
                                               HCERTSTORE store, LoadContext& context,
                                               SignaturePolicy policy, PCCERT_CONTEXT* signerCert,
                                               PCCERT_CHAIN_CONTEXT* verifiedChain);
