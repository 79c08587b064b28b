// Does a file's embedded Authenticode signature carry a signer we accept? The
// primary signer is asked first, then the nested signatures it carries.
#include "secureload/file_signature.h"

#include <cstdint>

#include "secureload/byte_cursor.h"
#include "secureload/crypto_api.h"
#include "secureload/nested_binding.h"
#include "secureload/signer_policy.h"
#include "secureload/signer_proof.h"
#include "secureload/system_library.h"

namespace {

constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// szOID_NESTED_SIGNATURE; not every SDK's wincrypt.h names it.
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

// A nested signature is a DER ContentInfo: SEQUENCE with a two-byte long-form
// length, then the signedData identifier. Bytes 4 and 5 (the identifier's tag
// and length) are not looked at.
constexpr uint32_t kCandidateHeaderSize = 15;
constexpr BYTE kSequenceTwoByteLength[] = {0x30, 0x82};
constexpr uint32_t kContentLengthOffset = 2;
constexpr uint32_t kSignedDataOidOffset = 6;
constexpr BYTE kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
static_assert(kSignedDataOidOffset + sizeof(kSignedDataOid) == kCandidateHeaderSize,
              "the header ends with the identifier");

struct Outcome {
  DWORD result;
  DWORD error;
};

// What one call holds; released by VerifyFileSignature on every path. stopped:
// the step that ended the call before any signer was judged, or 0.
struct CallState {
  HCERTSTORE store;
  HCRYPTMSG message;
  HLOCAL signerRecord;
  DWORD stopped;
};

// Fills the empty slots in table order and stops at the first export that is
// missing; a later call starts again from that slot.
bool ResolveCryptoApi() {
#define CRYPTO_API_SLOT(name) \
  ResolveEntryPoint(g_systemLibraryCache.crypt32, g_cryptoApi.name, #name)
  return CRYPTO_API_SLOT(CryptMsgClose) && CRYPTO_API_SLOT(CertCloseStore) &&
         CRYPTO_API_SLOT(CertFreeCertificateContext) &&
         CRYPTO_API_SLOT(CertFindCertificateInStore) && CRYPTO_API_SLOT(CryptMsgGetParam) &&
         CRYPTO_API_SLOT(CryptQueryObject) && CRYPTO_API_SLOT(CertGetNameStringW) &&
         CRYPTO_API_SLOT(CryptMsgOpenToDecode) && CRYPTO_API_SLOT(CryptMsgUpdate) &&
         CRYPTO_API_SLOT(CryptDecodeObjectEx) &&
         CRYPTO_API_SLOT(CertGetIssuerCertificateFromStore) && CRYPTO_API_SLOT(CertOpenStore) &&
         CRYPTO_API_SLOT(CertGetCertificateChain) && CRYPTO_API_SLOT(CertFreeCertificateChain) &&
         CRYPTO_API_SLOT(CertVerifyTimeValidity);
#undef CRYPTO_API_SLOT
}

// crypt32 and the table are required. cryptnet and cryptbase are only kept
// resident from the system directory; cryptnet missing outright (126) fails the
// call, any other reason lets it go on and the next call tries again. wintrust
// must be resident before any signature is opened (see below).
Outcome LoadCryptoLibraries() {
  SystemLibraryCache& cache = g_systemLibraryCache;
  if (cache.crypt32 == nullptr) cache.crypt32 = LoadSystemLibrary(L"crypt32.dll");
  if (cache.crypt32 == nullptr) return {0, ERROR_MOD_NOT_FOUND};
  if (!ResolveCryptoApi()) return {0, ERROR_MOD_NOT_FOUND};

  bool cryptnetMissing = false;
  if (cache.cryptnet == nullptr) {
    cache.cryptnet = LoadSystemLibrary(L"cryptnet.dll");
    cryptnetMissing = cache.cryptnet == nullptr && GetLastError() == ERROR_MOD_NOT_FOUND;
  }
  if (cache.cryptbase == nullptr) cache.cryptbase = LoadSystemLibrary(L"cryptbase.dll");
  // wintrust is made resident here, before the signature is opened, although
  // only the trust gate calls into it: opening a file's embedded signature makes
  // crypt32 load wintrust.dll by bare name, and with no wintrust.dll in the
  // process yet that load follows the default search order, where a copy
  // planted beside the executable comes first. With the system copy resident,
  // the bare name resolves to it. Without it the signature is not opened at all.
  if (cache.wintrust == nullptr) cache.wintrust = LoadSystemLibrary(L"wintrust.dll");
  if (cryptnetMissing || cache.wintrust == nullptr) return {0, ERROR_MOD_NOT_FOUND};
  return {1, ERROR_SUCCESS};
}

// The 8-byte step between candidates. Both roundings apply to addresses: the
// step is (p + n) rounded up minus p rounded down, which is
// (p mod 8 + n) rounded up. At most 7 + 65,539 + 7, so it cannot wrap.
uintptr_t StepAfter(const BYTE* candidate, uint32_t extent) {
  const uintptr_t residue = reinterpret_cast<uintptr_t>(candidate) & 7u;
  return (residue + extent + 7u) & ~static_cast<uintptr_t>(7u);
}

// The header test, reading only the bytes from the candidate to the signer
// record's end. Gives the candidate's extent n = L + 4, which must fit too.
bool ReadCandidateHeader(const ByteCursor& candidate, uint32_t* extent) {
  uint16_t contentLength = 0;
  if (!candidate.Has(0, kCandidateHeaderSize) ||
      !candidate.SameAt(0, kSequenceTwoByteLength, sizeof kSequenceTwoByteLength) ||
      !candidate.SameAt(kSignedDataOidOffset, kSignedDataOid, sizeof kSignedDataOid) ||
      !candidate.U16BeAt(kContentLengthOffset, &contentLength)) {
    return false;
  }
  const uint32_t n = static_cast<uint32_t>(contentLength) + 4;
  if (n > candidate.size()) return false;
  *extent = n;
  return true;
}

const CRYPT_ATTRIBUTE* FindFirstNestedSignature(const CRYPT_ATTRIBUTES& attributes) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    if (lstrcmpA(attributes.rgAttr[i].pszObjId, kNestedSignatureOid) == 0) {
      return &attributes.rgAttr[i];
    }
  }
  return nullptr;
}

// The signer of one decoded nested message, with a record and a store of its
// own; every refusal on the way is just a refused candidate. Its signer is put
// to the policy and trust gates only once the nested signature has proven
// that it verifies, signs this file and chains to a trusted root: the gates
// alone judge a signer, not what it signed.
DWORD JudgeNestedSigner(HCRYPTMSG nested, LPCWSTR path, LoadContext& context,
                        SignaturePolicy policy) {
  const CryptoApiTable& api = g_cryptoApi;
  DWORD size = 0;
  HLOCAL record = nullptr;
  HCERTSTORE store = nullptr;
  if (api.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size != 0 &&
      (record = LocalAlloc(LPTR, size)) != nullptr &&
      api.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, record, &size)) {
    store = api.CertOpenStore(CERT_STORE_PROV_MSG, kMessageEncoding, 0, 0, nested);
  }
  if (store == nullptr) {
    ObserveNested(context.observer, kObservedUnreadable, 0, GetLastError());
    LocalFree(record);
    return 0;
  }
  PCMSG_SIGNER_INFO signer = static_cast<PCMSG_SIGNER_INFO>(record);
  // The certificate the proof found and the chain it built and verified are
  // the ones the gates judge: found and built once per candidate. A proof
  // that says bound without handing over both refuses all the same.
  PCCERT_CONTEXT cert = nullptr;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const NestedBinding binding =
      ProveNestedBinding(nested, *signer, store, context, policy, &cert, &chain);
  const CERT_SIMPLE_CHAIN* verified =
      chain != nullptr && chain->cChain == 1 && chain->rgpChain != nullptr
          ? chain->rgpChain[0]
          : nullptr;
  const bool handedOver = binding == kNestedBound && cert != nullptr && verified != nullptr;
  const DWORD verdict =
      handedOver ? VerifySigner(signer, cert, store, path, context.file, policy, verified,
                                context.observer)
                 : 0;
  ObserveNested(context.observer, binding == kNestedBound && !handedOver ? kNestedUncheckable : binding,
                verdict, handedOver ? GetLastError() : 0);
  if (chain != nullptr) api.CertFreeCertificateChain(chain);
  if (cert != nullptr) api.CertFreeCertificateContext(cert);
  api.CertCloseStore(store, 0);
  LocalFree(record);
  return verdict;
}

// The nested signatures are the values of the first nested-signature attribute,
// found by walking the record's bytes: from the first value, each candidate is
// tested, fed whole to a fresh message and judged, and the next one is looked
// for one 8-byte step further. Positions are kept as offsets from the record's
// first byte, so nothing is ever read, or pointed at, outside the record.
// Every candidate fed to a message spends one of the load's candidates; when
// none is left the walk ends, refused, wherever it stands.
Outcome WalkNestedSignatures(const CMSG_SIGNER_INFO* signer, uint32_t recordSize, LPCWSTR path,
                             LoadContext& context, SignaturePolicy policy) {
  const CRYPT_ATTRIBUTE* nested = FindFirstNestedSignature(signer->UnauthAttrs);
  if (nested == nullptr || nested->cValue == 0 || nested->rgValue == nullptr) {
    return {0, ERROR_SUCCESS};
  }
  const BYTE* record = reinterpret_cast<const BYTE*>(signer);
  const uintptr_t start = reinterpret_cast<uintptr_t>(record);
  const uintptr_t first = reinterpret_cast<uintptr_t>(nested->rgValue[0].pbData);
  if (first <= start || first - start >= recordSize) return {0, ERROR_SUCCESS};
  uintptr_t offset = first - start;

  const CryptoApiTable& api = g_cryptoApi;
  // Each step is at least a candidate's 15 header bytes, so the walk also
  // leaves the record, but the budget ends it long before any record could.
  while (context.nestedCandidatesLeft != 0) {
    HCRYPTMSG message = api.CryptMsgOpenToDecode(kMessageEncoding, 0, 0, 0, nullptr, nullptr);
    if (message == nullptr) return {0, ERROR_SUCCESS};

    const BYTE* candidate = record + offset;
    // offset < recordSize, so what is left fits in 32 bits.
    const uint32_t available = static_cast<uint32_t>(recordSize - offset);
    uint32_t extent = 0;
    if (!ReadCandidateHeader(ByteCursor(candidate, available), &extent)) {
      api.CryptMsgClose(message);
      return {0, ERROR_SUCCESS};
    }
    --context.nestedCandidatesLeft;
    const BOOL decoded = api.CryptMsgUpdate(message, candidate, extent, TRUE);
    if (!decoded) {
      ObserveNested(context.observer, kObservedUnreadable, 0, GetLastError());
    }
    const uintptr_t step = StepAfter(candidate, extent);

    const DWORD verdict = decoded ? JudgeNestedSigner(message, path, context, policy) : 0;
    api.CryptMsgClose(message);
    if (verdict != 0) return {verdict, ERROR_SUCCESS};

    if (step >= available) return {0, ERROR_SUCCESS};  // the next one would start past the end
    offset += step;
  }
  return {0, ERROR_SUCCESS};
}

Outcome Verify(LPCWSTR path, LoadContext& context, SignaturePolicy policy, CallState& state) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return {0, ERROR_FILE_NOT_FOUND};
  }
  const Outcome libraries = LoadCryptoLibraries();
  if (libraries.result == 0) {
    state.stopped = kObservedTrustLibrariesMissing;
    return libraries;
  }

  const CryptoApiTable& api = g_cryptoApi;
  if (!api.CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                            &state.store, &state.message, nullptr)) {
    state.stopped = kObservedNoSignature;
    return {0, GetLastError()};
  }

  state.stopped = kObservedSignerUnreadable;
  DWORD size = 0;
  if (!api.CryptMsgGetParam(state.message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) ||
      size == 0) {
    return {0, GetLastError()};
  }
  const DWORD allocated = size;
  state.signerRecord = LocalAlloc(LPTR, allocated);
  if (state.signerRecord == nullptr) return {0, GetLastError()};
  if (!api.CryptMsgGetParam(state.message, CMSG_SIGNER_INFO_PARAM, 0, state.signerRecord, &size)) {
    LocalFree(state.signerRecord);
    state.signerRecord = nullptr;
    return {0, GetLastError()};
  }

  state.stopped = 0;
  PCMSG_SIGNER_INFO signer = static_cast<PCMSG_SIGNER_INFO>(state.signerRecord);
  // The primary signature verified with the very certificate the gates go on
  // to judge, so that it is that certificate's key which made the signature,
  // not one the trust provider looks up for itself.
  PCCERT_CONTEXT cert = nullptr;
  DWORD primary = 0;
  if (ProveSigner(state.message, *signer, state.store, &cert, context.observer)) {
    primary = VerifySigner(signer, cert, state.store, path, context.file, policy, nullptr,
                           context.observer);
  }
  if (cert != nullptr) {
    const DWORD error = GetLastError();
    g_cryptoApi.CertFreeCertificateContext(cert);
    SetLastError(error);
  }
  Observe(context.observer, kObservedPrimarySigner, primary, GetLastError());
  if (primary != 0) return {primary, ERROR_SUCCESS};

  // The walk never looks past the buffer that was allocated, whatever size the
  // fill reported back.
  const uint32_t recordSize = size < allocated ? size : allocated;
  return WalkNestedSignatures(signer, recordSize, path, context, policy);
}

}  // namespace

DWORD VerifyFileSignature(LPCWSTR path, LoadContext& context, SignaturePolicy policy) {
  SetLastError(ERROR_SUCCESS);
  CallState state = {};
  const Outcome outcome = Verify(path, context, policy, state);
  if (state.stopped != 0) {
    Observe(context.observer, static_cast<ObservedStep>(state.stopped), 0, outcome.error);
  }

  // Released in this order on every path; the slots are filled whenever the
  // store or the message is set.
  LocalFree(state.signerRecord);
  if (state.store != nullptr) g_cryptoApi.CertCloseStore(state.store, 0);
  if (state.message != nullptr) g_cryptoApi.CryptMsgClose(state.message);
  SetLastError(outcome.error);
  return outcome.result;
}
