#include "tests/unit/nested_binding_double.h"

#include "secureload/crypto_api.h"

BindingDouble g_bindingDouble;

// A bound signer is handed over as a proof hands it: its certificate from the
// nested signature's store and a chain the engine built for it.
NestedBinding ProveNestedBinding(HCRYPTMSG, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                                 LoadContext& context, SignaturePolicy policy,
                                 PCCERT_CONTEXT* signerCert, PCCERT_CHAIN_CONTEXT* verifiedChain) {
  *signerCert = nullptr;
  *verifiedChain = nullptr;
  BindingCall call{{}, context.file, policy};
  if (signer.SerialNumber.pbData != nullptr) {
    call.serial.assign(signer.SerialNumber.pbData,
                       signer.SerialNumber.pbData + signer.SerialNumber.cbData);
  }
  const bool refuse = g_bindingDouble.refused.count(call.serial) != 0;
  const bool emptyHanded = g_bindingDouble.emptyHanded.count(call.serial) != 0;
  g_bindingDouble.calls.push_back(std::move(call));
  if (refuse) return kNestedNotThisFile;
  if (emptyHanded) return kNestedBound;
  CERT_INFO wanted = {};
  wanted.Issuer = signer.Issuer;
  wanted.SerialNumber = signer.SerialNumber;
  PCCERT_CONTEXT cert =
      CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  if (cert == nullptr) return kNestedSignatureInvalid;
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (g_bindingDouble.withoutChain ||
      !CertGetCertificateChain(nullptr, cert, nullptr, store, &para, 0, nullptr, &chain)) {
    chain = nullptr;
  }
  if (g_bindingDouble.withoutCertificate) {
    CertFreeCertificateContext(cert);
  } else {
    *signerCert = cert;
  }
  *verifiedChain = chain;
  return kNestedBound;
}
