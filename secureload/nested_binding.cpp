// The proofs a nested signature owes before its signer counts for a file.
//
// A nested signature rides in an unauthenticated attribute of the primary
// signer: nothing about the file binds it, anyone can paste one in, and the
// trust provider judges only the primary signature. So for the nested one the
// probe establishes itself what the trust provider establishes for the
// primary, on every system it runs on:
//   (a) its signer's signature verifies with the signer's certificate, and the
//       signed message-digest attribute is the digest of the message content
//       (the platform's signature check does not compare it everywhere);
//   (b) that content is the Authenticode indirect data, by the message's
//       inner content type and by the signed content-type attribute, and it
//       names this file: its image digest equals the digest of the bytes the
//       verified load holds;
//   (c) the signer's chain, built by the platform's chain engine from the
//       certificates the nested signature carries, has no trust error, ends in
//       a root the machine trusts and passes the Authenticode chain policy;
//       and that verified chain is itself the policy's: the four pinned
//       certificates, or one of the allowed name chains in full.
// Anything that cannot be established refuses the candidate.
#include "secureload/nested_binding.h"

#include <cstdint>

#include "secureload/byte_cursor.h"
#include "secureload/crypto_api.h"
#include "secureload/image_digest.h"
#include "secureload/platform_hash.h"
#include "secureload/signer_name_chains.h"
#include "secureload/signer_proof.h"
#include "secureload/system_library.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr BYTE kSequenceTag = 0x30;
constexpr BYTE kOctetStringTag = 0x04;

bool ResolveNestedCryptoApi() {
  if (g_systemLibraryCache.crypt32 == nullptr) return false;
  HMODULE crypt32 = g_systemLibraryCache.crypt32;
  return ResolveEntryPoint(crypt32, g_nestedCryptoApi.CryptMsgControl, "CryptMsgControl") &&
         ResolveEntryPoint(crypt32, g_nestedCryptoApi.CertVerifyCertificateChainPolicy,
                           "CertVerifyCertificateChainPolicy");
}

bool SameOid(const char* a, const char* b) { return a != nullptr && lstrcmpA(a, b) == 0; }

bool SameBytes(const BYTE* a, DWORD aSize, const BYTE* b, DWORD bSize) {
  if (aSize != bSize || (aSize != 0 && (a == nullptr || b == nullptr))) return false;
  for (DWORD i = 0; i < aSize; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The one value of a signed attribute (the message digest, the content type);
// an attribute given twice, or with other than one value, proves nothing.
const CRYPT_ATTR_BLOB* SingleAttributeValue(const CRYPT_ATTRIBUTES& attrs, const char* oid) {
  const CRYPT_ATTR_BLOB* found = nullptr;
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = attrs.rgAttr[i];
    if (!SameOid(attr.pszObjId, oid)) continue;
    if (found != nullptr || attr.cValue != 1 || attr.rgValue == nullptr) return nullptr;
    found = &attr.rgValue[0];
  }
  return found;
}

// The Authenticode indirect-data content type, SPC_INDIRECT_DATA_OBJID
// (1.3.6.1.4.1.311.2.1.4), as a DER OBJECT IDENTIFIER: what a signer's
// content-type attribute holds.
constexpr BYTE kIndirectDataTypeEncoded[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04,
                                             0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
// Room for the identifier and its terminator, and more: a longer one is not it.
constexpr DWORD kContentTypeCapacity = 32;

// The message says that its content is indirect data, and the signer signed
// that: the inner content type, and the signed content-type attribute, are
// both the indirect-data type. Otherwise content that happens to decode as
// indirect data is not a statement about an image.
bool ContentIsIndirectData(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer) {
  char type[kContentTypeCapacity] = {};
  DWORD size = sizeof type;
  if (!g_cryptoApi.CryptMsgGetParam(nested, CMSG_INNER_CONTENT_TYPE_PARAM, 0, type, &size) ||
      size == 0 || size > sizeof type || type[size - 1] != '\0' ||
      !SameOid(type, SPC_INDIRECT_DATA_OBJID)) {
    return false;
  }
  const CRYPT_ATTR_BLOB* signedType = SingleAttributeValue(signer.AuthAttrs, szOID_RSA_contentType);
  if (signedType == nullptr) return false;
  return SameBytes(signedType->pbData, signedType->cbData, kIndirectDataTypeEncoded,
                   sizeof kIndirectDataTypeEncoded);
}

// Holders for what one proof acquires, released on every path.
struct Held {
  PCCERT_CONTEXT cert = nullptr;
  HLOCAL content = nullptr;
  HLOCAL indirect = nullptr;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ~Held() {
    if (chain != nullptr) g_cryptoApi.CertFreeCertificateChain(chain);
    LocalFree(indirect);
    LocalFree(content);
    if (cert != nullptr) g_cryptoApi.CertFreeCertificateContext(cert);
  }
};

// (a) The signer's signature over its signed attributes (verified by the
// signer proof), then the signed message digest against the content, which
// the platform does not compare everywhere. Gives the content as the message
// holds it (tag and length included).
NestedBinding VerifySignature(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer, Held& held,
                              DWORD* contentSize) {
  DWORD size = 0;
  if (!g_cryptoApi.CryptMsgGetParam(nested, CMSG_CONTENT_PARAM, 0, nullptr, &size) || size == 0) {
    return kNestedSignatureInvalid;
  }
  held.content = LocalAlloc(LPTR, size);
  if (held.content == nullptr) return kNestedUncheckable;
  if (!g_cryptoApi.CryptMsgGetParam(nested, CMSG_CONTENT_PARAM, 0, held.content, &size)) {
    return kNestedSignatureInvalid;
  }
  // The digest covers the content of the indirect-data SEQUENCE, without its
  // own tag and length.
  ByteCursor body;
  if (!ByteCursor(static_cast<const BYTE*>(held.content), size)
           .ReadWholeElement(kSequenceTag, &body)) {
    return kNestedSignatureInvalid;
  }
  const CRYPT_ATTR_BLOB* attribute =
      SingleAttributeValue(signer.AuthAttrs, szOID_RSA_messageDigest);
  ByteCursor signedDigest;
  if (attribute == nullptr ||
      !ByteCursor(attribute->pbData, attribute->cbData)
           .ReadWholeElement(kOctetStringTag, &signedDigest)) {
    return kNestedSignatureInvalid;
  }
  DWORD expectedSize = 0;
  const ALG_ID algorithm = HashAlgorithmOf(signer.HashAlgorithm.pszObjId, &expectedSize);
  if (algorithm == 0) return kNestedSignatureInvalid;
  BYTE digest[kMaxDigestSize] = {};
  DWORD digestSize = 0;
  PlatformHash hash;
  if (!hash.Begin(algorithm) || !hash.Update(body.data(), body.size()) ||
      !hash.Finish(digest, sizeof digest, &digestSize) || digestSize != expectedSize) {
    return kNestedUncheckable;
  }
  if (!SameBytes(digest, digestSize, signedDigest.data(), signedDigest.size())) {
    return kNestedSignatureInvalid;
  }
  *contentSize = size;
  return kNestedBound;
}

// (b) The content is indirect data that names a PE image, a digest algorithm
// we support, and the image digest of the file behind the held handle (one
// computation per algorithm for the whole load).
NestedBinding SignsThisFile(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer, Held& held,
                            DWORD contentSize, LoadContext& context) {
  if (!ContentIsIndirectData(nested, signer)) return kNestedNotThisFile;
  PSPC_INDIRECT_DATA_CONTENT indirect = nullptr;
  DWORD size = 0;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT,
                                       static_cast<const BYTE*>(held.content), contentSize,
                                       CRYPT_DECODE_ALLOC_FLAG, nullptr, &indirect, &size) ||
      indirect == nullptr) {
    return kNestedNotThisFile;
  }
  held.indirect = indirect;
  if (!SameOid(indirect->Data.pszObjId, SPC_PE_IMAGE_DATA_OBJID)) return kNestedNotThisFile;
  DWORD expectedSize = 0;
  const ALG_ID algorithm = HashAlgorithmOf(indirect->DigestAlgorithm.pszObjId, &expectedSize);
  if (algorithm == 0) return kNestedNotThisFile;
  const BYTE* digest = nullptr;
  DWORD digestSize = 0;
  if (!HeldImageDigest(context, algorithm, &digest, &digestSize) || digestSize != expectedSize) {
    return kNestedNotThisFile;
  }
  return SameBytes(digest, digestSize, indirect->Digest.pbData, indirect->Digest.cbData)
             ? kNestedBound
             : kNestedNotThisFile;
}

// (c) The signer's chain as the platform's engine builds it, with the nested
// signature's certificates to draw on and nothing fetched from the network.
NestedBinding ChainVerifies(Held& held, HCERTSTORE store, SignaturePolicy policy) {
  LPSTR codeSigning = const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING);
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &codeSigning;
  if (!g_cryptoApi.CertGetCertificateChain(HCCE_LOCAL_MACHINE, held.cert, nullptr, store, &para,
                                           kChainBuildFlags, nullptr, &held.chain) ||
      held.chain == nullptr) {
    return kNestedChainUntrusted;
  }
  const CERT_CHAIN_CONTEXT& chain = *held.chain;
  // The trust status is read here and not left to the policy: a chain that
  // stops short of any root passes the Authenticode policy on some platforms.
  if (chain.TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR || chain.cChain != 1 ||
      chain.rgpChain == nullptr || chain.rgpChain[0] == nullptr) {
    return kNestedChainUntrusted;
  }
  const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
  if (simple.TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR || simple.cElement == 0) {
    return kNestedChainUntrusted;
  }
  for (DWORD j = 0; j < simple.cElement; ++j) {
    if (simple.rgpElement[j]->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) {
      return kNestedChainUntrusted;
    }
  }
  CERT_CHAIN_POLICY_PARA policyPara = {};
  policyPara.cbSize = sizeof policyPara;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof status;
  if (!g_nestedCryptoApi.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE,
                                                          held.chain, &policyPara, &status) ||
      status.dwError != 0) {
    return kNestedChainUntrusted;
  }
  // The chain that verified must itself be the policy's. The pinned gate
  // judges this very chain, handed over with the signer, so that judgement is
  // made there, once. The name gate reads the signer's own store instead (see
  // PassesNamedChains), so the chain that verified is matched here.
  if (policy == kPolicyNamedChains && !MatchesSignerNameChain(simple)) return kNestedChainNotAllowed;
  return kNestedBound;
}

}  // namespace

NestedBinding ProveNestedBinding(HCRYPTMSG nested, const CMSG_SIGNER_INFO& signer,
                                 HCERTSTORE store, LoadContext& context, SignaturePolicy policy,
                                 PCCERT_CONTEXT* signerCert, PCCERT_CHAIN_CONTEXT* verifiedChain) {
  *signerCert = nullptr;
  *verifiedChain = nullptr;
  if (nested == nullptr || store == nullptr || context.file == nullptr ||
      context.file == INVALID_HANDLE_VALUE ||
      !ResolveNestedCryptoApi()) {
    return kNestedUncheckable;
  }
  Held held;
  if (!ProveSigner(nested, signer, store, &held.cert)) return kNestedSignatureInvalid;

  DWORD contentSize = 0;
  NestedBinding verdict = VerifySignature(nested, signer, held, &contentSize);
  if (verdict == kNestedBound) verdict = SignsThisFile(nested, signer, held, contentSize, context);
  if (verdict == kNestedBound) verdict = ChainVerifies(held, store, policy);
  if (verdict != kNestedBound) return verdict;
  *verifiedChain = held.chain;
  held.chain = nullptr;
  *signerCert = held.cert;
  held.cert = nullptr;
  return verdict;
}
