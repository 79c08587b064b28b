// The one proof every signer of a library's signature owes, primary or nested,
// before any gate judges it: which certificate is the signer's, and that its
// key made the signature.
#pragma once

#include "platform/platform.h"
#include "secureload/verify_observer.h"

// message: the decoded signature whose signer 0 is `signer`; store: the
// certificates it carries; both open, the caller's. Finds the certificate the store holds for the
// signer's issuer and serial number, once: copies with the same encoded bytes
// are that one certificate, a different certificate under the same issuer and
// serial number refuses (the gates and the trust provider could each take
// another). Then the signature must verify with that very certificate.
// cert must point at the caller's slot. true: *cert is that certificate, held
// for the caller, who releases it with CertFreeCertificateContext. false:
// *cert is null, and observer (when given) is told why. Sets no last-error
// value a caller relies on.
[[nodiscard]] bool ProveSigner(HCRYPTMSG message, const CMSG_SIGNER_INFO& signer,
                               HCERTSTORE store, PCCERT_CONTEXT* cert,
                               const VerifyObserver* observer = nullptr);
