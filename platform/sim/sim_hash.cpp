// The hash part of the simulated Windows: advapi32's CryptoAPI provider with
// its SHA-1 and SHA-256 hashes. The digests are not the real ones, but they
// are digests of this world: of the right size, the same for the same bytes
// however they are fed, and different when any byte differs. Tests compute
// expected values with sim::SimulatedDigest.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr DWORD kErrorInvalidHandle = 6;

struct HashObject {
  ALG_ID algorithm;
  std::vector<uint8_t> data;
  bool finished = false;
};

struct HashWorld {
  std::map<HCRYPTPROV, int> providers;
  std::map<HCRYPTHASH, std::unique_ptr<HashObject>> hashes;
  uintptr_t next = 0x7000;
  unsigned acquireFailures = 0;
};

HashWorld& H() {
  static HashWorld world;
  return world;
}

BOOL WINAPI SimCryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider,
                                    DWORD type, DWORD flags) {
  internal::TraceLine("CryptAcquireContextW " + std::to_string(type) + " " +
                      std::to_string(flags));
  if (prov == nullptr || container != nullptr || provider != nullptr || type != PROV_RSA_AES ||
      flags != CRYPT_VERIFYCONTEXT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (H().acquireFailures != 0 && --H().acquireFailures == 0) {
    // What a failed call leaves in *prov is no handle to use or release.
    *prov = 0xDEAD0;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *prov = (H().next += 8);
  H().providers[*prov] = 1;
  internal::Count(internal::Counter::kHashObjects, +1);
  return TRUE;
}

BOOL WINAPI SimCryptReleaseContext(HCRYPTPROV prov, DWORD) {
  if (H().providers.erase(prov) == 0) {
    internal::Count(internal::Counter::kBadReleases, +1);
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  internal::Count(internal::Counter::kHashObjects, -1);
  return TRUE;
}

BOOL WINAPI SimCryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                               HCRYPTHASH* hash) {
  if (H().providers.count(prov) == 0 || hash == nullptr || key != 0 || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (algorithm != CALG_SHA1 && algorithm != CALG_SHA_256) {
    SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
    return FALSE;
  }
  *hash = (H().next += 8);
  H().hashes[*hash] = std::make_unique<HashObject>(HashObject{algorithm, {}});
  internal::Count(internal::Counter::kHashObjects, +1);
  return TRUE;
}

BOOL WINAPI SimCryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size, DWORD) {
  auto it = H().hashes.find(hash);
  if (it == H().hashes.end() || it->second->finished || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  it->second->data.insert(it->second->data.end(), data, data + size);
  return TRUE;
}

BOOL WINAPI SimCryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* out, DWORD* size, DWORD) {
  auto it = H().hashes.find(hash);
  if (it == H().hashes.end() || param != HP_HASHVAL || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::vector<uint8_t> digest = SimulatedDigest(it->second->algorithm, it->second->data);
  if (out == nullptr || *size < digest.size()) {
    *size = static_cast<DWORD>(digest.size());
    SetLastError(234 /* ERROR_MORE_DATA */);
    return out == nullptr;
  }
  for (size_t i = 0; i < digest.size(); ++i) out[i] = digest[i];
  *size = static_cast<DWORD>(digest.size());
  it->second->finished = true;
  return TRUE;
}

BOOL WINAPI SimCryptDestroyHash(HCRYPTHASH hash) {
  if (H().hashes.erase(hash) == 0) {
    internal::Count(internal::Counter::kBadReleases, +1);
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  internal::Count(internal::Counter::kHashObjects, -1);
  return TRUE;
}

template <typename Fn>
void* ExportOf(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

const internal::WorldPart part{[] {
  H() = HashWorld{};
  const char* const module = "advapi32.dll";
  internal::RegisterSystemExport(module, "CryptAcquireContextW", ExportOf(&SimCryptAcquireContextW));
  internal::RegisterSystemExport(module, "CryptReleaseContext", ExportOf(&SimCryptReleaseContext));
  internal::RegisterSystemExport(module, "CryptCreateHash", ExportOf(&SimCryptCreateHash));
  internal::RegisterSystemExport(module, "CryptHashData", ExportOf(&SimCryptHashData));
  internal::RegisterSystemExport(module, "CryptGetHashParam", ExportOf(&SimCryptGetHashParam));
  internal::RegisterSystemExport(module, "CryptDestroyHash", ExportOf(&SimCryptDestroyHash));
}};

}  // namespace

std::vector<uint8_t> SimulatedDigest(ALG_ID algorithm, const std::vector<uint8_t>& data) {
  const size_t size = algorithm == CALG_SHA1 ? 20 : 32;
  std::vector<uint8_t> digest(size);
  // FNV-1a, one 64-bit lane per 8 output bytes, each lane seeded apart.
  for (size_t lane = 0; lane * 8 < size; ++lane) {
    uint64_t h = 0xCBF29CE484222325ull ^ (algorithm * 0x9E3779B97F4A7C15ull) ^ (lane + 1);
    for (uint8_t byte : data) {
      h ^= byte;
      h *= 0x100000001B3ull;
    }
    h ^= data.size();
    h *= 0x100000001B3ull;
    for (size_t i = 0; i < 8 && lane * 8 + i < size; ++i) {
      digest[lane * 8 + i] = static_cast<uint8_t>(h >> (8 * i));
    }
  }
  return digest;
}

void FailHashProvider(unsigned nth) { H().acquireFailures = nth; }

}  // namespace sim
