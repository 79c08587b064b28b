// Shared by the signer-check tests: the crypt32 slots filled from the
// simulated system crypt32 (VerifyFileSignature does this before any signer is
// judged), signer records as the platform lays them out, and FILETIME values.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/crypto_api.h"

namespace crypt_world {

// Resolves every slot by name from the system copy of crypt32.dll, then clears
// the trace so that a test sees only what the code under test did.
inline void ResolveCryptoApi() {
  HMODULE crypt32 = LoadLibraryExW(L"C:\\Windows\\system32\\crypt32.dll", nullptr, 0);
#define CRYPT_WORLD_RESOLVE(name) \
  g_cryptoApi.name = ProcAs<decltype(g_cryptoApi.name)>(GetProcAddress(crypt32, #name))
  CRYPT_WORLD_RESOLVE(CryptMsgClose);
  CRYPT_WORLD_RESOLVE(CertCloseStore);
  CRYPT_WORLD_RESOLVE(CertFreeCertificateContext);
  CRYPT_WORLD_RESOLVE(CertFindCertificateInStore);
  CRYPT_WORLD_RESOLVE(CryptMsgGetParam);
  CRYPT_WORLD_RESOLVE(CryptQueryObject);
  CRYPT_WORLD_RESOLVE(CertGetNameStringW);
  CRYPT_WORLD_RESOLVE(CryptMsgOpenToDecode);
  CRYPT_WORLD_RESOLVE(CryptMsgUpdate);
  CRYPT_WORLD_RESOLVE(CryptDecodeObjectEx);
  CRYPT_WORLD_RESOLVE(CertGetIssuerCertificateFromStore);
  CRYPT_WORLD_RESOLVE(CertOpenStore);
  CRYPT_WORLD_RESOLVE(CertGetCertificateChain);
  CRYPT_WORLD_RESOLVE(CertFreeCertificateChain);
  CRYPT_WORLD_RESOLVE(CertVerifyTimeValidity);
#undef CRYPT_WORLD_RESOLVE
  sim::ClearTrace();
}

// A signer record in the platform's one-buffer layout, freed when it goes.
class SignerRecord {
 public:
  explicit SignerRecord(const sim::SignerDesc& signer)
      : block_(sim::internal::BuildSignerRecord(signer, &size_)) {}
  ~SignerRecord() { LocalFree(block_); }
  SignerRecord(const SignerRecord&) = delete;
  SignerRecord& operator=(const SignerRecord&) = delete;
  PCMSG_SIGNER_INFO get() const { return static_cast<PCMSG_SIGNER_INFO>(block_); }

 private:
  DWORD size_ = 0;
  HLOCAL block_;
};

// A certificate with these names and serial, no key, valid at every time.
inline sim::CertDesc Certificate(std::string subject, std::string issuer,
                                 std::vector<uint8_t> serial = {0x01}) {
  sim::CertDesc cert;
  cert.subject = std::move(subject);
  cert.issuer = std::move(issuer);
  cert.serial = std::move(serial);
  return cert;
}

constexpr uint64_t kTicksPerSecond = 10000000;

// A FILETIME value from a UTC calendar time (proleptic Gregorian).
constexpr uint64_t FileTimeOf(int year, unsigned month, unsigned day, unsigned hour = 0,
                              unsigned minute = 0, unsigned second = 0) {
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = static_cast<int>((153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1);
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysSince1970 = static_cast<int64_t>(era) * 146097 + doe - 719468;
  const int64_t daysSince1601 = daysSince1970 + 134774;
  return (static_cast<uint64_t>(daysSince1601) * 86400 + hour * 3600ull + minute * 60ull + second) *
         kTicksPerSecond;
}
static_assert(FileTimeOf(1601, 1, 1) == 0);
static_assert(FileTimeOf(1970, 1, 1) == 116444736000000000ull);

}  // namespace crypt_world
