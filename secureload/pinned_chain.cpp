// MatchCertificate: does a certificate carry this display name and, where a
// key is pinned, exactly this subject public key? The table itself is
// generated from certificates at build time (cmake/pinned_chain.cmake).
#include "secureload/pinned_chain.h"

#include <cstring>

#include "secureload/crypto_api.h"

namespace {

// Room for 255 characters of a name and its terminator; no allowed name is
// longer, and the platform cuts a longer one to fit.
constexpr DWORD kNameBufferSize = 256;

// The display name as the certificate holds it, in UTF-16, never an 8-bit
// rendering: a best-fit conversion turns a look-alike (a Kelvin sign, a
// fullwidth letter, a dotless i) into the letter it imitates. Kept only when
// the count the platform returns is the name's length and its terminator (a
// name that hides a NUL and more behind it is not the name before the NUL),
// and every character is printable ASCII, as every allowed name is.
bool ReadExactName(PCCERT_CONTEXT cert, BOOL useIssuerName, WCHAR (&name)[kNameBufferSize]) {
  const DWORD count = g_cryptoApi.CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                                                     useIssuerName ? CERT_NAME_ISSUER_FLAG : 0,
                                                     nullptr, name, kNameBufferSize);
  DWORD length = 0;
  while (length < kNameBufferSize && name[length] != 0) {
    if (name[length] < 0x20 || name[length] > 0x7E) return false;
    ++length;
  }
  return length < kNameBufferSize && count == length + 1;
}

// Character for character up to and including the terminator: case, blanks
// and everything else count.
bool SameName(const WCHAR (&name)[kNameBufferSize], const char* expected) {
  for (DWORD i = 0; i < kNameBufferSize; ++i) {
    if (name[i] != static_cast<unsigned char>(expected[i])) return false;
    if (name[i] == 0) return true;
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
    WCHAR name[kNameBufferSize] = {};
    if (!ReadExactName(cert, useIssuerName, name) || !SameName(name, expectedName)) return 0;
  }
  if (keyLength == 0 || keyBytes == nullptr) return 1;

  // The content of the subject-public-key bit string; a key whose bit string
  // declares unused bits is not the pinned key, whatever its bytes.
  const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  if (key.cbData != keyLength || key.cUnusedBits != 0) return 0;
  return std::memcmp(key.pbData, keyBytes, keyLength) == 0 ? 1 : 0;
}
