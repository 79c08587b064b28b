// PlatformHash: a digest through the system's advapi32, and every step that
// fails leaving nothing hashed and nothing held.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/platform_hash.h"
#include "secureload/system_library.h"
#include "tests/support/process_state.h"

namespace {

BOOL WINAPI CreateHashFails(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) {
  SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
  return FALSE;
}
BOOL WINAPI HashDataFails(HCRYPTHASH, const BYTE*, DWORD, DWORD) { return FALSE; }
BOOL WINAPI GetHashParamFails(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) { return FALSE; }
// Claims more bytes than it was given room for.
BOOL WINAPI GetHashParamOverlong(HCRYPTHASH, DWORD, BYTE*, DWORD* length, DWORD) {
  *length += 1;
  return TRUE;
}

TEST(PlatformHashTest, EachStepFailsClosed) {
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  struct Case {
    const char* label;
    std::function<void()> arrange;
    ALG_ID algorithm;
    bool begins;
    bool updates;
    bool finishes;
  };
  const std::vector<Case> cases = {
      {"SHA-256", [] {}, CALG_SHA_256, true, true, true},
      {"SHA-1", [] {}, CALG_SHA1, true, true, true},
      {"no advapi32", [] { sim::FailSystemModule("advapi32.dll", ERROR_MOD_NOT_FOUND); },
       CALG_SHA_256, false, false, false},
      {"no CryptGetHashParam export",
       [] { sim::HideSystemExport("advapi32.dll", "CryptGetHashParam"); }, CALG_SHA_256, false,
       false, false},
      {"no provider", [] { sim::FailHashProvider(1); }, CALG_SHA_256, false, false, false},
      {"no hash object", [] { g_platformHashApi.CryptCreateHash = &CreateHashFails; },
       CALG_SHA_256, false, false, false},
      {"hashing fails", [] { g_platformHashApi.CryptHashData = &HashDataFails; }, CALG_SHA_256,
       true, false, true},
      {"the digest cannot be read", [] { g_platformHashApi.CryptGetHashParam = &GetHashParamFails; },
       CALG_SHA_256, true, true, false},
      {"the digest claims more room than it had",
       [] { g_platformHashApi.CryptGetHashParam = &GetHashParamOverlong; }, CALG_SHA_256, true,
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetProcessState();
    c.arrange();
    {
      PlatformHash hash;
      EXPECT_EQ(hash.Begin(c.algorithm), c.begins);
      EXPECT_EQ(hash.Update(abc.data(), static_cast<DWORD>(abc.size())), c.updates);
      BYTE out[kMaxDigestSize] = {};
      DWORD size = 0;
      EXPECT_EQ(hash.Finish(out, sizeof out, &size), c.finishes);
      if (c.finishes && c.updates) {
        EXPECT_EQ(std::vector<uint8_t>(out, out + size), sim::SimulatedDigest(c.algorithm, abc));
      }
      if (c.begins) {
        EXPECT_FALSE(hash.Begin(c.algorithm));  // one digest per object
      }
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST(PlatformHashTest, NothingHashesBeforeBeginAndAnEmptyUpdateIsNoStep) {
  ResetProcessState();
  PlatformHash idle;
  BYTE out[kMaxDigestSize] = {};
  DWORD size = 0;
  const BYTE byte = 1;
  EXPECT_FALSE(idle.Update(&byte, 1));
  EXPECT_FALSE(idle.Finish(out, sizeof out, &size));

  PlatformHash empty;
  ASSERT_TRUE(empty.Begin(CALG_SHA_256));
  g_platformHashApi.CryptHashData = &HashDataFails;
  EXPECT_TRUE(empty.Update(nullptr, 0));
  ASSERT_TRUE(empty.Finish(out, sizeof out, &size));
  EXPECT_EQ(std::vector<uint8_t>(out, out + size), sim::SimulatedDigest(CALG_SHA_256, {}));

  DWORD digestSize = 7;
  EXPECT_EQ(HashAlgorithmOf("1.2.840.113549.2.5", &digestSize), 0u);  // MD5: not taken
  EXPECT_EQ(digestSize, 0u);
  // Nor SHA-512, whose identifier sorts after SHA-256's, nor none at all.
  EXPECT_EQ(HashAlgorithmOf("2.16.840.1.101.3.4.2.3", &digestSize), 0u);
  EXPECT_EQ(HashAlgorithmOf(nullptr, &digestSize), 0u);
}

}  // namespace
