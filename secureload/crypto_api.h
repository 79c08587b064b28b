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
  decltype(&::CertGetNameStringA) CertGetNameStringA;
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

extern CryptoApiTable g_cryptoApi;
