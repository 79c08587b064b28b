// The crypt32 entry points the verifier reaches CryptoAPI through. They are
// resolved from the system copy of crypt32.dll on first use, in this order, and
// kept until the process exits. Code that runs inside a call of
// VerifyFileSignature may call every slot without testing it: that call has
// filled them all before it hands anything on.
#pragma once

#include "platform/platform.h"

struct CryptoApiTable {
  decltype(&::CryptMsgClose) CryptMsgClose;
  decltype(&::CertCloseStore) CertCloseStore;
  decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
  decltype(&::CertFindCertificateInStore) CertFindCertificateInStore;
  decltype(&::CryptMsgGetParam) CryptMsgGetParam;
  decltype(&::CryptQueryObject) CryptQueryObject;
  decltype(&::CertGetNameStringW) CertGetNameStringW;
  decltype(&::CryptMsgOpenToDecode) CryptMsgOpenToDecode;
  decltype(&::CryptMsgUpdate) CryptMsgUpdate;
  decltype(&::CryptDecodeObjectEx) CryptDecodeObjectEx;
  decltype(&::CertGetIssuerCertificateFromStore) CertGetIssuerCertificateFromStore;
  decltype(&::CertOpenStore) CertOpenStore;
  decltype(&::CertGetCertificateChain) CertGetCertificateChain;
  decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
  decltype(&::CertVerifyTimeValidity) CertVerifyTimeValidity;
};

constexpr unsigned kCryptoApiSlotCount = 15;
static_assert(sizeof(CryptoApiTable) == kCryptoApiSlotCount * sizeof(&::CryptMsgClose),
              "one slot per entry point, nothing between them");

// Flags for every chain the verifier builds: nothing is fetched from the
// network. Cache-only retrieval alone stops the fetches that the platform would
// otherwise make for issuer URLs named in a certificate (Wine fetches them even
// with AIA disabled); both together say it on every platform. Nor is a root
// fetched by the platform's automatic root update: a root must already be in
// the machine's stores.
constexpr DWORD kChainBuildFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA |
                                   CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;

extern CryptoApiTable g_cryptoApi;

// The crypt32 entry points that only the checks of a nested signature use. They
// live in a table of their own, resolved from the same system crypt32 on the
// first nested signature that reaches them and kept until the process exits,
// so a file accepted through its primary signer never looks them up.
struct NestedCryptoApiTable {
  decltype(&::CryptMsgControl) CryptMsgControl;
  decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
};

extern NestedCryptoApiTable g_nestedCryptoApi;
