// Arranging the simulated CryptoAPI and WinTrust: certificates, the signatures
// embedded in files, the chain engine, the clock and the trust verdicts.
//
// Two parts of the world implement this header:
//   sim_crypt_msg.cpp  signatures embedded in files, messages, signer records,
//                      nested signatures (CryptQueryObject, CryptMsg*, CertOpenStore)
//   sim_cert.cpp       certificates, stores, names, chains, decoders, the clock
//   sim_trust.cpp      WinVerifyTrust
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_windows.h"

namespace sim {

// ---------------------------------------------------------------- certificates

struct CertDesc {
  // Simple display names, UTF-8: any character, a NUL inside included, as a
  // name's UTF8String or BMPString may carry it.
  std::string subject;  // the subject's
  std::string issuer;   // the issuer's
  std::vector<uint8_t> serial{0x01};
  std::vector<uint8_t> publicKey;  // content of the subject-public-key bit string
  DWORD unusedBits = 0;
  uint64_t notBefore = 0;           // FILETIME values
  uint64_t notAfter = UINT64_MAX;
  // The certificate whose key signed this one; kSignedByNamedIssuer: any
  // certificate that carries the issuer's name. The issuer lookup's signature
  // check (CERT_STORE_SIGNATURE_FLAG) passes only for that certificate.
  int signedBy = -1;
};
using CertId = int;
constexpr CertId kSignedByNamedIssuer = -1;
CertId AddCertificate(CertDesc desc);
const CertDesc& CertificateDesc(CertId cert);

// The clock CertVerifyTimeValidity compares with, as a FILETIME value.
void SetCurrentTime(uint64_t fileTime);
uint64_t CurrentTime();

// ---------------------------------------------------------------- signatures

struct AttributeDesc {
  std::string oid;
  std::vector<std::vector<uint8_t>> values;  // encoded values, in order
};

// What a signer record (CMSG_SIGNER_INFO) says: the issuer name and serial
// number of the signer's certificate and its attributes.
struct SignerDesc {
  std::string issuer;
  std::vector<uint8_t> serial;
  std::vector<AttributeDesc> authAttrs;
  std::vector<AttributeDesc> unauthAttrs;
  std::string digestOid = szOID_NIST_sha256;  // the record's HashAlgorithm
};
// A signer record pointing at this certificate, with no attributes.
SignerDesc SignerOf(CertId cert);

// What a nested signature's content, the Authenticode indirect data
// (SpcIndirectDataContent), says: the kind of data it signs, the digest
// algorithm and the image digest of the file it was made for.
struct IndirectDataDesc {
  std::string dataOid = SPC_PE_IMAGE_DATA_OBJID;
  std::string digestOid = szOID_NIST_sha256;
  std::vector<uint8_t> imageDigest = {};
};
// The content as CMSG_CONTENT_PARAM gives it: one DER SEQUENCE, tag and length
// included, which SPC_INDIRECT_DATA_CONTENT_STRUCT decodes.
std::vector<uint8_t> EncodeIndirectData(const IndirectDataDesc& indirect);

// A PKCS #7 signature message: the certificates it carries, in store order,
// and its one signer. A nested signature also has its content, and its
// signer's signature over the signed attributes verifies with the signer's
// certificate (CMSG_CTRL_VERIFY_SIGNATURE_EX) unless signatureValid is false.
// When it is encoded, a signer without a message-digest attribute gets the
// one a signer would make: the simulated SHA-256 of the content without its
// tag and length; one without a content-type attribute gets the indirect-data
// type, DER-encoded. contentType is what CMSG_INNER_CONTENT_TYPE_PARAM gives;
// CMSG_CONTENT_PARAM gives content when it is not empty, else the indirect
// data encoded.
struct SignatureDesc {
  std::vector<CertId> certs;
  SignerDesc signer;
  IndirectDataDesc indirect = {};
  bool signatureValid = true;
  std::string contentType = SPC_INDIRECT_DATA_OBJID;
  std::vector<uint8_t> content = {};
};
// The DER encoding of the indirect-data content type, as a content-type
// attribute's value holds it.
std::vector<uint8_t> EncodedIndirectDataType();

// The file (which must exist) now carries this embedded signature.
void SignFile(const std::wstring& path, SignatureDesc signature);

// Attribute values the simulated decoders understand.
//   signing time (1.2.840.113549.1.9.5): a DER UTCTime or GeneralizedTime
std::vector<uint8_t> EncodeSigningTime(uint64_t fileTime);
//   counter-signature (1.2.840.113549.1.9.6): decodes as PKCS7_SIGNER_INFO
std::vector<uint8_t> EncodeCounterSignature(const SignerDesc& counterSigner);
//   nested signature (1.3.6.1.4.1.311.2.4.1): a ContentInfo whose first 15
//   bytes are the real DER header 30 82 LL LL 06 09 <signedData OID>
std::vector<uint8_t> EncodeNestedSignature(const SignatureDesc& signature);
// An RFC 3161 token value (1.3.6.1.4.1.311.3.3.1) is real DER ContentInfo bytes;
// PKCS_CONTENT_INFO decoding parses them.

// ---------------------------------------------------------------- chain engine

// What CertGetCertificateChain builds for a signer certificate: each simple
// chain is a list of certificates, element 0 the signer.
struct ChainDesc {
  bool builds = true;  // false: the call fails with `error`
  DWORD error = 0;
  std::vector<std::vector<CertId>> simpleChains;
  // The engine's verdict on each element (CERT_TRUST_IS_* error bits, and
  // CERT_TRUST_IS_SELF_SIGNED and the like in the info bits), indexed like
  // simpleChains; an element without an entry has status 0. A simple chain's
  // status, and the chain context's, is what its elements' statuses add up to
  // (bitwise or) together with the extra bits given here per simple chain
  // (CERT_TRUST_IS_PARTIAL_CHAIN, CERT_TRUST_IS_CYCLIC, ...).
  std::vector<std::vector<DWORD>> elementErrors = {};
  std::vector<std::vector<DWORD>> elementInfos = {};
  std::vector<DWORD> chainErrors = {};
  // CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE) gives this
  // when it is not 0; otherwise what the trust status implies, as Wine does:
  // an invalid signature, an untrusted root, a certificate out of its time or
  // usage fail the policy, and a partial chain passes it.
  DWORD policyError = 0;
  // The policy call fails outright, leaving its status as it was handed.
  bool policyCallFails = false;
  // A context that does not say what it holds: the number of simple chains it
  // counts (-1: as many as it holds), and a part it leaves null. kNoContext:
  // the call succeeds and gives no context at all.
  int countedChains = -1;
  enum class Gap { kNone, kNoContext, kNoTable, kNullFirstChain };
  Gap gap = Gap::kNone;
};
void SetChain(CertId signer, ChainDesc chain);

// ---------------------------------------------------------------- hashing

// The digest the simulated CryptoAPI gives for these bytes (CALG_SHA1: 20
// bytes, CALG_SHA_256: 32).
std::vector<uint8_t> SimulatedDigest(ALG_ID algorithm, const std::vector<uint8_t>& data);
// The nth CryptAcquireContextW from now (1 = the next) fails, leaving in its
// out parameter a value that names no provider.
void FailHashProvider(unsigned nth);

// ---------------------------------------------------------------- trust

// WinVerifyTrust's status for a file; files without a verdict get
// TRUST_E_NOSIGNATURE.
void SetTrustVerdict(const std::wstring& path, LONG status);

// A copy of what one WinVerifyTrust call was handed.
struct TrustCall {
  bool windowIsInvalidHandle;
  GUID action;
  WINTRUST_DATA data;
  WINTRUST_FILE_INFO file;  // copied from data.pFile when it was set
  std::wstring path;        // copied from file.pcwszFilePath when it was set
};
const std::vector<TrustCall>& TrustCalls();

}  // namespace sim

namespace sim::internal {
// A signer record in one local-heap buffer (LPTR), attribute tables and values
// inside it: each attribute's first value at a multiple of 8 and each further
// value at the first multiple of 8 at or after the end of the one before.
// Counted as a local block; the caller frees it with LocalFree.
HLOCAL BuildSignerRecord(const SignerDesc& signer, DWORD* size);
// A store holding these certificates in this order; closed by CertCloseStore.
HCERTSTORE OpenStoreOf(const std::vector<CertId>& certs);
// Whether this context is the certificate a signer record names.
bool IsSignerCertificate(PCCERT_CONTEXT cert, const SignerDesc& signer);
}  // namespace sim::internal
