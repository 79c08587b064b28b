// VerifySigner: one signer of a library's signature passes its policy gate
// (the pinned chain for the cloud library, the signer-name chains and a
// consistent time-stamp for the client library) and then the platform's trust
// provider.
#include "secureload/signer_policy.h"

#include <cstddef>
#include <cstdint>

#include "secureload/crypto_api.h"
#include "secureload/pinned_chain.h"
#include "secureload/signer_name_chains.h"
#include "secureload/system_library.h"
#include "secureload/timestamp_time.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Two seconds in FILETIME intervals of 100 ns: how far the signer's signing
// time may lie after a counter-signer's.
constexpr uint64_t kCounterSignatureTolerance = 20000000;
// Added to the decimal genTime YYYYMMDDHHMMSS: the signing time may show up to
// two more in its seconds digits, which only helps within the same minute.
constexpr uint64_t kTimestampTolerance = 2;

// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}, the generic Authenticode action.
const GUID kGenericVerifyV2 = {
    0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// The shipped exe is 32-bit; the same source built for x86_64 is the test
// vehicle. Each structure handed to the platform carries the size of its own
// width, and both sizes are pinned here: a 64-bit trust provider reads nothing
// past a 32-bit size, the cache-only flag among it.
constexpr bool kPointers32 = sizeof(void*) == 4;

// CERT_CHAIN_PARA as far as cbSize reaches: the requested usage and nothing
// after it.
constexpr DWORD kChainParaSize = kPointers32 ? 16 : 32;
static_assert(sizeof(CERT_CHAIN_PARA) == kChainParaSize,
              "CERT_CHAIN_PARA is 16 bytes on 32-bit Windows and 32 on 64-bit");

// WINTRUST_DATA up to and including pSignatureSettings, the 52-byte form
// WinVerifyTrust is handed. Declared here because not every SDK's WINTRUST_DATA
// reaches that far; the fields it shares with the SDK's sit at the SDK's
// offsets.
struct WintrustRequest {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  WINTRUST_FILE_INFO* pFile;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
};
constexpr DWORD kWintrustDataSize = kPointers32 ? 52 : 88;
constexpr DWORD kWintrustFileInfoSize = kPointers32 ? 16 : 32;
static_assert(sizeof(WintrustRequest) == kWintrustDataSize,
              "WINTRUST_DATA is 52 bytes on 32-bit Windows and 88 on 64-bit");
static_assert(sizeof(WINTRUST_FILE_INFO) == kWintrustFileInfoSize,
              "WINTRUST_FILE_INFO is 16 bytes on 32-bit Windows and 32 on 64-bit");
static_assert(
    offsetof(WintrustRequest, pPolicyCallbackData) ==
            offsetof(WINTRUST_DATA, pPolicyCallbackData) &&
        offsetof(WintrustRequest, pSIPClientData) == offsetof(WINTRUST_DATA, pSIPClientData) &&
        offsetof(WintrustRequest, dwUIChoice) == offsetof(WINTRUST_DATA, dwUIChoice) &&
        offsetof(WintrustRequest, fdwRevocationChecks) ==
            offsetof(WINTRUST_DATA, fdwRevocationChecks) &&
        offsetof(WintrustRequest, dwUnionChoice) == offsetof(WINTRUST_DATA, dwUnionChoice) &&
        offsetof(WintrustRequest, pFile) == offsetof(WINTRUST_DATA, pFile) &&
        offsetof(WintrustRequest, dwStateAction) == offsetof(WINTRUST_DATA, dwStateAction) &&
        offsetof(WintrustRequest, hWVTStateData) == offsetof(WINTRUST_DATA, hWVTStateData) &&
        offsetof(WintrustRequest, pwszURLReference) == offsetof(WINTRUST_DATA, pwszURLReference) &&
        offsetof(WintrustRequest, dwProvFlags) == offsetof(WINTRUST_DATA, dwProvFlags) &&
        offsetof(WintrustRequest, dwUIContext) == offsetof(WINTRUST_DATA, dwUIContext),
    "WintrustRequest follows the SDK's WINTRUST_DATA field for field");

// The first attribute with this identifier, or null. An attribute without a
// value counts as absent: only rgValue[0] is ever decoded.
const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attrs, const char* oid) {
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = attrs.rgAttr[i];
    if (attr.cValue == 0 || attr.rgValue == nullptr) continue;
    if (lstrcmpA(attr.pszObjId, oid) == 0) return &attr;
  }
  return nullptr;
}

// Releases made while the time checks run. A refusal reports the value those
// checks left in the last error, and a release on some systems overwrites it.
void LocalFreeKeepingError(HLOCAL block) {
  const DWORD error = GetLastError();
  LocalFree(block);
  SetLastError(error);
}
void FreeCertificateKeepingError(PCCERT_CONTEXT cert) {
  const DWORD error = GetLastError();
  g_cryptoApi.CertFreeCertificateContext(cert);
  SetLastError(error);
}

// The signer's certificate in the store, looked up by issuer and serial
// number; null with the lookup's last error when it is not there.
PCCERT_CONTEXT FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO& signer) {
  CERT_INFO wanted = {};
  wanted.Issuer = signer.Issuer;
  wanted.SerialNumber = signer.SerialNumber;
  return g_cryptoApi.CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT,
                                                &wanted, nullptr);
}

// The first signing-time attribute as a FILETIME count; 0 when there is none
// or it does not decode.
uint64_t SigningTime(const CRYPT_ATTRIBUTES& authAttrs, bool* found) {
  *found = false;
  const CRYPT_ATTRIBUTE* attr = FindAttribute(authAttrs, szOID_RSA_signingTime);
  if (attr == nullptr) return 0;
  FILETIME time = {};
  DWORD size = sizeof time;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, szOID_RSA_signingTime, attr->rgValue[0].pbData,
                                       attr->rgValue[0].cbData, 0, nullptr, &time, &size)) {
    return 0;
  }
  *found = true;
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Trust-status bits that say a simple chain is not one unbroken run of
// signatures from the signer up to a self-signed top.
constexpr DWORD kBrokenChainErrors = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC;

// Every link of the chain the pinned rows matched is a signature that
// verifies: no element's signature is invalid, the engine reached a top, and
// the top signed itself. Names, keys and dates are public; only this ties the
// four certificates to the keys they claim. Whether the top is a trusted root
// is left to the trust gate. 0 when every link holds, else the reason.
DWORD BrokenLink(const CERT_SIMPLE_CHAIN& simple) {
  for (DWORD j = 0; j < simple.cElement; ++j) {
    if (simple.rgpElement[j]->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
      return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
    }
  }
  const CERT_CHAIN_ELEMENT& top = *simple.rgpElement[simple.cElement - 1];
  if ((simple.TrustStatus.dwErrorStatus & kBrokenChainErrors) != 0 ||
      (top.TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) == 0) {
    return static_cast<DWORD>(CERT_E_CHAINING);
  }
  return 0;
}

// The cloud library's gate: the signer's chain is exactly one simple chain of
// four certificates that match a pinned chain row by row, are each valid now,
// and each signed the one below it. The chain is built from what the machine
// already holds: nothing is fetched from the network. A nested signer's chain
// was built and verified by its proof already, with the certificates the
// nested signature carries, and is judged as it stands. A chain whose links
// do not hold is refused with the reason in the last error.
bool PassesPinnedChain(PCCERT_CONTEXT cert, const CERT_SIMPLE_CHAIN* verifiedChain,
                       const VerifyObserver* observer) {
  const CERT_SIMPLE_CHAIN* simple = verifiedChain;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (simple == nullptr) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = kChainParaSize;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 0;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = nullptr;
    const BOOL built = g_cryptoApi.CertGetCertificateChain(
        HCCE_LOCAL_MACHINE, cert, nullptr, nullptr, &para, kChainBuildFlags, nullptr, &chain);
    if (built && chain != nullptr && chain->cChain == 1) simple = chain->rgpChain[0];
  }
  bool passed = false;
  DWORD brokenLink = 0;
  if (simple != nullptr) {
    passed = MatchesPinnedChain(*simple);
    if (passed) brokenLink = BrokenLink(*simple);
  }
  if (chain != nullptr) g_cryptoApi.CertFreeCertificateChain(chain);
  if (brokenLink != 0) {
    Observe(observer, kObservedRefusal,
            brokenLink == static_cast<DWORD>(TRUST_E_CERT_SIGNATURE) ? kRefusalForgedLink
                                                                     : kRefusalNotSelfSigned);
    SetLastError(brokenLink);
    return false;
  }
  if (!passed) Observe(observer, kObservedRefusal, kRefusalPinnedMismatch);
  return passed;
}

// A PKCS #9 counter-signature whose signer is in the store and
// whose signing time C admits S <= C + 2 s. The walk ends at the first
// counter-signature that does not decode or whose signer is missing.
bool AcceptsCounterSignature(const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                             uint64_t signingTime) {
  const CRYPT_ATTRIBUTES& attrs = signer.UnauthAttrs;
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = attrs.rgAttr[i];
    if (attr.cValue == 0 || attr.rgValue == nullptr ||
        lstrcmpA(attr.pszObjId, szOID_RSA_counterSign) != 0) {
      continue;
    }
    PCMSG_SIGNER_INFO counterSigner = nullptr;
    DWORD size = 0;
    if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, attr.rgValue[0].pbData,
                                         attr.rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                         &counterSigner, &size)) {
      return false;
    }
    // The counter-signer's certificate only has to be there.
    PCCERT_CONTEXT counterCert = FindSignerCertificate(store, *counterSigner);
    if (counterCert == nullptr) {
      LocalFreeKeepingError(counterSigner);
      return false;
    }
    FreeCertificateKeepingError(counterCert);
    bool hasTime = false;
    const uint64_t counterTime = SigningTime(counterSigner->AuthAttrs, &hasTime);
    LocalFreeKeepingError(counterSigner);
    if (hasTime && signingTime <= counterTime + kCounterSignatureTolerance) return true;
  }
  return false;
}

// The first RFC 3161 time-stamp token; its genTime T, as a decimal
// YYYYMMDDHHMMSS, must admit the signing time's decimal form D <= T + 2.
bool AcceptsTimestamp(const CMSG_SIGNER_INFO& signer, uint64_t signingTime) {
  const CRYPT_ATTRIBUTE* attr = FindAttribute(signer.UnauthAttrs, szOID_RFC3161_counterSign);
  if (attr == nullptr) return false;
  PCRYPT_CONTENT_INFO token = nullptr;
  DWORD size = 0;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, attr->rgValue[0].pbData,
                                       attr->rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                       &token, &size)) {
    return false;
  }
  const uint64_t genTime = FindTimestampTime(token->Content.pbData, token->Content.cbData, 0);
  LocalFreeKeepingError(token);
  if (genTime == 0) return false;

  const FILETIME fileTime = {static_cast<DWORD>(signingTime),
                             static_cast<DWORD>(signingTime >> 32)};
  SYSTEMTIME st = {};
  if (!FileTimeToSystemTime(&fileTime, &st)) return false;
  const uint64_t decimal =
      ((((static_cast<uint64_t>(st.wYear) * 100 + st.wMonth) * 100 + st.wDay) * 100 + st.wHour) *
           100 +
       st.wMinute) *
          100 +
      st.wSecond;
  return decimal <= genTime + kTimestampTolerance;
}

// The client library's gate: one of the signer-name chains, then a counter-signature or a
// time-stamp consistent with the signing time. On refusal the last error says
// why (TRUST_E_TIME_STAMP when nothing more precise is pending).
//
// The names are read from the signer's own store for a nested signer too, not
// from the chain its proof verified (which the proof has already matched
// against the same chains): the engine draws on the machine's certificates as
// well, so its chain would admit a nested signer whose signature does not
// carry its intermediates, which as a primary signer is refused.
bool PassesNamedChains(const CMSG_SIGNER_INFO& signer, HCERTSTORE store, PCCERT_CONTEXT cert,
                       const VerifyObserver* observer) {
  if (!MatchSignerNameChains(cert)) {
    Observe(observer, kObservedRefusal, kRefusalNameChains);
    SetLastError(0);
    return false;
  }
  bool hasTime = false;
  const uint64_t signingTime = SigningTime(signer.AuthAttrs, &hasTime);
  if (AcceptsCounterSignature(signer, store, signingTime) ||
      AcceptsTimestamp(signer, signingTime)) {
    return true;
  }
  if (GetLastError() == 0) SetLastError(static_cast<DWORD>(TRUST_E_TIME_STAMP));
  Observe(observer, kObservedRefusal, kRefusalTimestamp);
  return false;
}

// The trust gate: the platform's trust provider judges the whole file. It is
// handed the handle the load holds beside the path, so that the bytes it
// reads are the held ones where it reads through the handle.
DWORD PassesTrustGate(LPCWSTR path, HANDLE held) {
  if (g_systemLibraryCache.wintrust == nullptr) {
    g_systemLibraryCache.wintrust = LoadSystemLibrary(L"wintrust.dll");
    if (g_systemLibraryCache.wintrust == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  }
  if (g_winVerifyTrust == nullptr) {
    g_winVerifyTrust = ProcAs<decltype(&::WinVerifyTrust)>(
        GetProcAddress(g_systemLibraryCache.wintrust, "WinVerifyTrust"));
    if (g_winVerifyTrust == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = kWintrustFileInfoSize;
  file.pcwszFilePath = path;
  file.hFile = held;
  file.pgKnownSubject = nullptr;
  WintrustRequest request = {};
  request.cbStruct = kWintrustDataSize;
  request.pPolicyCallbackData = nullptr;
  request.pSIPClientData = nullptr;
  request.dwUIChoice = WTD_UI_NONE;
  request.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  request.dwUnionChoice = WTD_CHOICE_FILE;
  request.pFile = &file;
  request.dwStateAction = WTD_STATEACTION_IGNORE;
  request.hWVTStateData = nullptr;
  request.pwszURLReference = nullptr;
  request.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  request.dwUIContext = 0;
  request.pSignatureSettings = nullptr;
  GUID action = kGenericVerifyV2;
  const LONG status = g_winVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
  SetLastError(static_cast<DWORD>(status));
  return status == 0 ? 1 : 0;
}

}  // namespace

DWORD VerifySigner(PCMSG_SIGNER_INFO signer, PCCERT_CONTEXT cert, HCERTSTORE store,
                   LPCWSTR path, HANDLE file, SignaturePolicy policy,
                   const CERT_SIMPLE_CHAIN* verifiedChain, const VerifyObserver* observer) {
  if (signer == nullptr || cert == nullptr) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return 0;
  }
  bool policyPassed = true;
  if (policy == kPolicyPinnedChain) {
    policyPassed = PassesPinnedChain(cert, verifiedChain, observer);
  } else if (policy == kPolicyNamedChains) {
    policyPassed = PassesNamedChains(*signer, store, cert, observer);
  }
  if (!policyPassed) return 0;
  const DWORD trusted = PassesTrustGate(path, file);
  if (trusted == 0) Observe(observer, kObservedRefusal, kRefusalTrustVerdict);
  return trusted;
}
