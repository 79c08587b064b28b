// Fixture inspection under Wine: what the platform itself says about a signed
// file, independent of the probe. For each file named on the command line it
// prints "name: value" lines:
//   file: <path>
//   trust: 0x<WinVerifyTrust status>        generic Authenticode action, no UI,
//                                           whole-chain revocation, cache only
//   query: 0x<last error> | ok              CryptQueryObject, embedded PKCS #7
//   store: <subject> <- <issuer>            every certificate the signature
//                                           carries, in the store's order
//   issuer-lookup: <subject> -> <found subject | none 0x<error>>
//                                           CertGetIssuerCertificateFromStore
//                                           on the signature's own store
//   issuer-lookup-signed: <subject> -> <found subject> flags 0x<flags>
//                                           | none 0x<error>
//                                           the same lookup asked to check the
//                                           signature (the flag stays set when
//                                           the found certificate did not sign)
//   signer: <subject>                       the primary signer's certificate
//   chain: <n> elements, status 0x<error> : <subject> / <subject> ...
//                                           the local machine's chain engine,
//                                           nothing fetched from the network
//   links: 0x<error>/0x<info> ...           each element's trust status, leaf first
//   unauth: <oid> x<values>                 the primary signer's unsigned
//                                           attributes
//   steps: <k> of <n> values, first at <r> mod 8
//                                           how many values of the first
//                                           nested-signature attribute the
//                                           probe's walk would reach with its
//                                           8-byte step if nothing limited it,
//                                           in the record as this platform
//                                           lays it out
// Exit status 0 unless an argument could not be examined at all.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The walk's own header test and step, without judging anything: from the
// first value, a candidate is 30 82 LL LL, two bytes, the signedData
// identifier; the next one lies (p + n) rounded up to 8 minus p rounded down
// to 8 further on.
void PrintSteps(const CMSG_SIGNER_INFO* signer, DWORD recordSize) {
  static const BYTE kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  const CRYPT_ATTRIBUTES& attrs = signer->UnauthAttrs;
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    if (lstrcmpA(attrs.rgAttr[i].pszObjId, "1.3.6.1.4.1.311.2.4.1") != 0) continue;
    if (attrs.rgAttr[i].cValue == 0) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(signer);
    const uintptr_t end = start + recordSize;
    uintptr_t p = reinterpret_cast<uintptr_t>(attrs.rgAttr[i].rgValue[0].pbData);
    DWORD steps = 0;
    while (p > start && p + 15 <= end) {
      const BYTE* c = reinterpret_cast<const BYTE*>(p);
      if (c[0] != 0x30 || c[1] != 0x82 || std::memcmp(c + 6, kSignedData, 9) != 0) break;
      const uintptr_t n = ((static_cast<uintptr_t>(c[2]) << 8) | c[3]) + 4;
      if (n > end - p) break;
      ++steps;
      p += (((p + n) + 7) & ~static_cast<uintptr_t>(7)) - (p & ~static_cast<uintptr_t>(7));
    }
    std::printf("steps: %lu of %lu values, first at %lu mod 8\n", static_cast<unsigned long>(steps),
                static_cast<unsigned long>(attrs.rgAttr[i].cValue),
                static_cast<unsigned long>(
                    (reinterpret_cast<uintptr_t>(attrs.rgAttr[i].rgValue[0].pbData) - start) % 8));
    return;
  }
}

std::string NameOf(PCCERT_CONTEXT cert, DWORD flags) {
  char name[256] = {};
  CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, sizeof name);
  return name;
}

LONG Trust(const wchar_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_IGNORE;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

void Inspect(const wchar_t* path) {
  std::printf("file: %ls\n", path);
  std::printf("trust: 0x%08lx\n", static_cast<unsigned long>(Trust(path)));

  HCERTSTORE store = nullptr;
  HCRYPTMSG msg = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store,
                        &msg, nullptr)) {
    std::printf("query: 0x%08lx\n", GetLastError());
    return;
  }
  std::printf("query: ok\n");

  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
       c = CertEnumCertificatesInStore(store, c)) {
    std::printf("store: %s <- %s\n", NameOf(c, 0).c_str(),
                NameOf(c, CERT_NAME_ISSUER_FLAG).c_str());
  }
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
       c = CertEnumCertificatesInStore(store, c)) {
    DWORD flags = 0;
    PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(store, c, nullptr, &flags);
    if (issuer) {
      std::printf("issuer-lookup: %s -> %s\n", NameOf(c, 0).c_str(), NameOf(issuer, 0).c_str());
      CertFreeCertificateContext(issuer);
    } else {
      std::printf("issuer-lookup: %s -> none 0x%08lx\n", NameOf(c, 0).c_str(), GetLastError());
    }
    flags = CERT_STORE_SIGNATURE_FLAG;
    issuer = CertGetIssuerCertificateFromStore(store, c, nullptr, &flags);
    if (issuer) {
      std::printf("issuer-lookup-signed: %s -> %s flags 0x%lx\n", NameOf(c, 0).c_str(),
                  NameOf(issuer, 0).c_str(), flags);
      CertFreeCertificateContext(issuer);
    } else {
      std::printf("issuer-lookup-signed: %s -> none 0x%08lx\n", NameOf(c, 0).c_str(),
                  GetLastError());
    }
  }

  DWORD size = 0;
  if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size) {
    auto* signer = static_cast<PCMSG_SIGNER_INFO>(LocalAlloc(LPTR, size));
    if (signer && CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
      CERT_INFO id = {};
      id.Issuer = signer->Issuer;
      id.SerialNumber = signer->SerialNumber;
      PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       0, CERT_FIND_SUBJECT_CERT, &id, nullptr);
      if (cert) {
        std::printf("signer: %s\n", NameOf(cert, 0).c_str());
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert, nullptr, nullptr, &para,
                                    CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA,
                                    nullptr, &chain)) {
          std::printf("chain: %lu simple", chain->cChain);
          if (chain->cChain > 0) {
            std::printf(", %lu elements, status 0x%08lx :", chain->rgpChain[0]->cElement,
                        chain->TrustStatus.dwErrorStatus);
            for (DWORD j = 0; j < chain->rgpChain[0]->cElement; ++j)
              std::printf(" / %s",
                          NameOf(chain->rgpChain[0]->rgpElement[j]->pCertContext, 0).c_str());
          }
          std::printf("\n");
          if (chain->cChain > 0) {
            std::printf("links:");
            for (DWORD j = 0; j < chain->rgpChain[0]->cElement; ++j) {
              const CERT_TRUST_STATUS& status = chain->rgpChain[0]->rgpElement[j]->TrustStatus;
              std::printf(" 0x%08lx/0x%08lx", status.dwErrorStatus, status.dwInfoStatus);
            }
            std::printf("\n");
          }
          CertFreeCertificateChain(chain);
        } else {
          std::printf("chain: failed 0x%08lx\n", GetLastError());
        }
        CertFreeCertificateContext(cert);
      } else {
        std::printf("signer: not in store 0x%08lx\n", GetLastError());
      }
      for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i)
        std::printf("unauth: %s x%lu\n", signer->UnauthAttrs.rgAttr[i].pszObjId,
                    signer->UnauthAttrs.rgAttr[i].cValue);
      PrintSteps(signer, size);
    }
    LocalFree(signer);
  }
  CertCloseStore(store, 0);
  CryptMsgClose(msg);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) Inspect(argv[i]);
  return 0;
}
