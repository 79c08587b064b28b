// Hashing through advapi32's CryptoAPI provider. The trust libraries offer no
// routine that gives an Authenticode image digest on every system the probe
// runs on, so the digests are computed here with the platform's own hash.
#include "secureload/platform_hash.h"

#include "secureload/system_library.h"

namespace {

bool ResolvePlatformHashApi() {
  if (g_systemLibraryCache.advapi32 == nullptr) {
    g_systemLibraryCache.advapi32 = LoadSystemLibrary(L"advapi32.dll");
    if (g_systemLibraryCache.advapi32 == nullptr) return false;
  }
#define HASH_API_SLOT(name) \
  ResolveEntryPoint(g_systemLibraryCache.advapi32, g_platformHashApi.name, #name)
  return HASH_API_SLOT(CryptAcquireContextW) && HASH_API_SLOT(CryptReleaseContext) &&
         HASH_API_SLOT(CryptCreateHash) && HASH_API_SLOT(CryptHashData) &&
         HASH_API_SLOT(CryptGetHashParam) && HASH_API_SLOT(CryptDestroyHash);
#undef HASH_API_SLOT
}

// Compared as exact strings; the identifiers a signer or an indirect-data
// content may name for the two digests the probe supports.
bool SameOid(const char* a, const char* b) { return a != nullptr && lstrcmpA(a, b) == 0; }

}  // namespace

ALG_ID HashAlgorithmOf(const char* oid, DWORD* digestSize) {
  if (SameOid(oid, szOID_NIST_sha256)) {
    *digestSize = 32;
    return CALG_SHA_256;
  }
  if (SameOid(oid, szOID_OIWSEC_sha1)) {
    *digestSize = 20;
    return CALG_SHA1;
  }
  *digestSize = 0;
  return 0;
}

PlatformHash::~PlatformHash() {
  if (hash_ != 0) g_platformHashApi.CryptDestroyHash(hash_);
  if (provider_ != 0) g_platformHashApi.CryptReleaseContext(provider_, 0);
}

bool PlatformHash::Begin(ALG_ID algorithm) {
  if (provider_ != 0 || !ResolvePlatformHashApi()) return false;
  // An ephemeral context: no key container is opened or created.
  if (!g_platformHashApi.CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES,
                                              CRYPT_VERIFYCONTEXT)) {
    provider_ = 0;
    return false;
  }
  if (!g_platformHashApi.CryptCreateHash(provider_, algorithm, 0, 0, &hash_)) {
    hash_ = 0;
    return false;
  }
  return true;
}

bool PlatformHash::Update(const BYTE* data, DWORD size) {
  if (hash_ == 0) return false;
  return size == 0 || g_platformHashApi.CryptHashData(hash_, data, size, 0) != 0;
}

bool PlatformHash::Finish(BYTE* out, DWORD capacity, DWORD* size) {
  if (hash_ == 0) return false;
  DWORD length = capacity;
  if (!g_platformHashApi.CryptGetHashParam(hash_, HP_HASHVAL, out, &length, 0)) return false;
  if (length > capacity) return false;
  *size = length;
  return true;
}
