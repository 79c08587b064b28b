// Hashing with the platform's own CryptoAPI provider (advapi32), for the
// digests a nested signature is checked against.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// advapi32's hash entry points, resolved from the system copy on first use and
// kept until the process exits.
struct PlatformHashApi {
  decltype(&::CryptAcquireContextW) CryptAcquireContextW;
  decltype(&::CryptReleaseContext) CryptReleaseContext;
  decltype(&::CryptCreateHash) CryptCreateHash;
  decltype(&::CryptHashData) CryptHashData;
  decltype(&::CryptGetHashParam) CryptGetHashParam;
  decltype(&::CryptDestroyHash) CryptDestroyHash;
};
extern PlatformHashApi g_platformHashApi;

// The largest digest the probe computes (SHA-256).
constexpr DWORD kMaxDigestSize = 32;

// The hash algorithm an Authenticode digest-algorithm identifier names, with
// its digest size: SHA-1 and SHA-256 only. 0 for any other identifier.
[[nodiscard]] ALG_ID HashAlgorithmOf(const char* oid, DWORD* digestSize);

// One digest computation. Begin() fails closed: when advapi32 or one of its
// entry points is missing, or the provider or the hash cannot be had, nothing
// can be hashed and Finish() fails. Releases what it holds when it goes.
class PlatformHash {
 public:
  PlatformHash() = default;
  ~PlatformHash();
  PlatformHash(const PlatformHash&) = delete;
  PlatformHash& operator=(const PlatformHash&) = delete;

  [[nodiscard]] bool Begin(ALG_ID algorithm);
  [[nodiscard]] bool Update(const BYTE* data, DWORD size);
  // Writes the digest to out (capacity bytes); its size to *size.
  [[nodiscard]] bool Finish(BYTE* out, DWORD capacity, DWORD* size);

 private:
  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
};
