// ProveSigner: the signer's certificate, found once, and the signature
// verified with it.
#include "secureload/signer_proof.h"

#include <cstring>

#include "secureload/crypto_api.h"
#include "secureload/system_library.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Two contexts are one certificate when their encodings are the same bytes.
// Every context from a store carries its certificate's encoding.
bool SameCertificate(const CERT_CONTEXT& a, const CERT_CONTEXT& b) {
  return a.cbCertEncoded == b.cbCertEncoded &&
         std::memcmp(a.pbCertEncoded, b.pbCertEncoded, a.cbCertEncoded) == 0;
}

}  // namespace

bool ProveSigner(HCRYPTMSG message, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                 PCCERT_CONTEXT* cert, const VerifyObserver* observer) {
  *cert = nullptr;
  if (!ResolveEntryPoint(g_systemLibraryCache.crypt32, g_nestedCryptoApi.CryptMsgControl,
                         "CryptMsgControl")) {
    return false;
  }
  const CryptoApiTable& api = g_cryptoApi;
  CERT_INFO wanted = {};
  wanted.Issuer = signer.Issuer;
  wanted.SerialNumber = signer.SerialNumber;
  PCCERT_CONTEXT found = api.CertFindCertificateInStore(store, kEncoding, 0,
                                                        CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  if (found == nullptr) {
    Observe(observer, kObservedRefusal, kRefusalNoSignerCertificate);
    return false;
  }
  // Every certificate the store holds under that issuer and serial number,
  // the one found among them, must be the one found. Each search from the
  // last releases it; `found` stays held.
  for (PCCERT_CONTEXT other = api.CertFindCertificateInStore(
           store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
       other != nullptr; other = api.CertFindCertificateInStore(
                             store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, other)) {
    if (!SameCertificate(*other, *found)) {
      api.CertFreeCertificateContext(other);
      api.CertFreeCertificateContext(found);
      Observe(observer, kObservedRefusal, kRefusalSignerTwin);
      return false;
    }
  }
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
  para.cbSize = sizeof para;
  para.hCryptProv = 0;
  para.dwSignerIndex = 0;
  para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  para.pvSigner = const_cast<CERT_CONTEXT*>(found);
  if (!g_nestedCryptoApi.CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) {
    api.CertFreeCertificateContext(found);
    Observe(observer, kObservedRefusal, kRefusalSignatureUnverified);
    return false;
  }
  *cert = found;
  return true;
}
