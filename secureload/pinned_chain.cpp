// MatchCertificate: does a certificate carry this display name and, where a
// key is pinned, exactly this subject public key? The table itself is
// generated from certificates at build time (cmake/pinned_chain.cmake).
#include "secureload/pinned_chain.h"

#include <cstring>

#include "secureload/crypto_api.h"

namespace {

// The platform writes at most 255 bytes of a name and its terminator.
constexpr DWORD kNameBufferSize = 256;

// Byte-for-byte equality up to and including the terminator: case, blanks and
// everything else count. A buffer without a terminator equals nothing.
bool SameName(const char (&name)[kNameBufferSize], const char* expected) {
  for (DWORD i = 0; i < kNameBufferSize; ++i) {
    if (name[i] != expected[i]) return false;
    if (name[i] == '\0') return true;
  }
  return false;
}

}  // namespace

bool MatchesPinnedChain(const CERT_SIMPLE_CHAIN& simple) {
  if (simple.cElement != kPinnedChainLength) return false;
  for (unsigned pinned = 0; pinned < kPinnedChainCount; ++pinned) {
    bool rowsPass = true;
    for (unsigned j = 0; j < kPinnedChainLength && rowsPass; ++j) {
      const PinnedChainRow& row = PinnedChainTable[pinned].rows[j];
      PCCERT_CONTEXT element = simple.rgpElement[j]->pCertContext;
      rowsPass =
          MatchCertificate(element, FALSE, row.expectedName, row.keyLength, row.keyBytes) != 0 &&
          g_cryptoApi.CertVerifyTimeValidity(nullptr, element->pCertInfo) == 0;
    }
    if (rowsPass) return true;
  }
  return false;
}

DWORD MatchCertificate(PCCERT_CONTEXT cert, BOOL useIssuerName, const char* expectedName,
                       DWORD keyLength, const BYTE* keyBytes) {
  if (expectedName != nullptr) {
    char name[kNameBufferSize] = {};
    // The return value is not needed: the zeroed buffer holds the name, or
    // stays empty when the certificate has none.
    (void)g_cryptoApi.CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                                         useIssuerName ? CERT_NAME_ISSUER_FLAG : 0, nullptr, name,
                                         kNameBufferSize);
    if (!SameName(name, expectedName)) return 0;
  }
  if (keyLength == 0 || keyBytes == nullptr) return 1;

  // The content of the subject-public-key bit string; a key whose bit string
  // declares unused bits is not the pinned key, whatever its bytes.
  const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  if (key.cbData != keyLength || key.cUnusedBits != 0) return 0;
  return std::memcmp(key.pbData, keyBytes, keyLength) == 0 ? 1 : 0;
}
