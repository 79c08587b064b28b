// Time and stack bounds of the two walks over attacker-planted bytes.
//
// The nested-signature walk: however many candidates a record holds, one
// load feeds at most four of them to a message, in walk order,
// one CryptMsgUpdate each. Records packed as densely as the walk allows (a
// candidate every 16 bytes: every one but the last must hold its 15 header
// bytes, and one starting inside the header before it fails the header test)
// and records of thousands of decodable candidates are cut off there.
//
// The genTime walk: it enters at most kTimestampMaxDepth levels and keeps the
// levels it waits on in a fixed array, so its stack use does not grow with the
// input's nesting; run here on a small stack, nesting that would need a frame
// per level overflows it.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_msg_control.h"
#include "secureload/byte_cursor.h"
#include "secureload/file_signature.h"
#include "secureload/timestamp_time.h"
#include "tests/support/der_writer.h"
#include "tests/support/process_state.h"

namespace {

const std::wstring kFile = L"C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\STP32.dll";
constexpr SignaturePolicy kNoGate = 0;

// ---- the file's signer record as the walk receives it

decltype(&::CryptMsgGetParam) g_simGetParam = nullptr;
DWORD g_recordSize = 0;

// The first filled signer record of a call is the file's.
BOOL WINAPI RecordingGetParam(HCRYPTMSG msg, DWORD type, DWORD index, void* data, DWORD* size) {
  const BOOL ok = g_simGetParam(msg, type, index, data, size);
  if (ok && data != nullptr && g_recordSize == 0) g_recordSize = *size;
  return ok;
}

class NestedWalkBound : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    HMODULE crypt32 = LoadLibraryExW(L"C:\\Windows\\system32\\crypt32.dll", nullptr, 0);
    g_simGetParam =
        ProcAs<decltype(&::CryptMsgGetParam)>(GetProcAddress(crypt32, "CryptMsgGetParam"));
    ASSERT_NE(g_simGetParam, nullptr);
    sim::SetSystemExport("crypt32.dll", "CryptMsgGetParam",
                         reinterpret_cast<void*>(&RecordingGetParam));
    g_recordSize = 0;
    sim::AddFile(kFile, {0x4D, 0x5A});
    sim::SetTrustVerdict(kFile, 0);
  }
};

// A candidate whose 15 header bytes pass the header test, with SEQUENCE content
// length L (extent L + 4, which may end inside the header), that does not
// decode.
std::vector<uint8_t> Candidate(uint16_t contentLength) {
  std::vector<uint8_t> out = der::Concat(
      {der::Raw({0x30, 0x82, static_cast<uint8_t>(contentLength >> 8),
                 static_cast<uint8_t>(contentLength)}),
       der::Oid(der::kOidSignedData)});
  if (out.size() < contentLength + 4u) out.resize(contentLength + 4u, 0);
  return out;
}

// `count` copies of `candidate`, `stride` bytes apart, from `residue`.
std::vector<uint8_t> Packed(const std::vector<uint8_t>& candidate, size_t count, size_t stride,
                            size_t residue) {
  std::vector<uint8_t> bytes(residue + (count - 1) * stride + candidate.size(), 0);
  for (size_t i = 0; i < count; ++i) {
    std::copy(candidate.begin(), candidate.end(), bytes.begin() + residue + i * stride);
  }
  return bytes;
}

DWORD VerifyInOneLoad() {
  LoadContext context;
  return VerifyFileSignature(kFile.c_str(), context, kNoGate);
}

TEST_F(NestedWalkBound, NoRecordGetsMoreCandidatesThanTheBudget) {
  struct Case {
    const char* label;
    uint16_t contentLength;
    size_t residue;  // of the first value's address, mod 8
    size_t stride;   // where the walk's step puts the next candidate
    size_t count;
    size_t updates;  // CryptMsgUpdate calls expected
    size_t opens;    // CryptMsgOpenToDecode calls expected
  };
  const size_t kMax = 4;  // the bound stated: moving it fails here
  const Case cases[] = {
      // The densest: every 16 bytes, extents of 9 to 16 bytes all step 16.
      {"16-byte candidates every 16 bytes", 12, 0, 16, 64, kMax, kMax},
      {"9-byte candidates every 16 bytes", 5, 0, 16, 64, kMax, kMax},
      // From residue 5 an 11-byte extent still ends by the next multiple of 8
      // past 16; a 12-byte one would step 24.
      {"11-byte candidates at residue 5", 7, 5, 16, 64, kMax, kMax},
      {"12-byte candidates at residue 5", 8, 5, 24, 64, kMax, kMax},
      // 4,096 candidates in 64 KiB: the same few as in a small record.
      {"a 64 KiB record of 16-byte candidates", 12, 0, 16, 4096, kMax, kMax},
      // An extent of 8 steps 8, into the header just read: its identifier is
      // not a SEQUENCE, so the walk ends there after one candidate.
      {"steps of 8 land inside the header", 4, 0, 8, 1, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<uint8_t> bytes = Packed(Candidate(c.contentLength), c.count, c.stride, c.residue);
    if (bytes.size() < 64) bytes.resize(64, 0);  // room after a lone candidate
    sim::SignFileWithRawSignerRecord(kFile, bytes, static_cast<int64_t>(c.residue));

    EXPECT_EQ(VerifyInOneLoad(), 0u);
    EXPECT_EQ(GetLastError(), 0u);

    const std::vector<sim::MessageUpdate>& updates = sim::MessageUpdates();
    ASSERT_GT(g_recordSize, bytes.size());
    EXPECT_EQ(updates.size(), c.updates);
    EXPECT_EQ(sim::CountTrace("CryptMsgOpenToDecode"), c.opens);
    for (size_t i = 1; i < updates.size(); ++i) {
      ASSERT_EQ(static_cast<size_t>(updates[i].data - updates[i - 1].data), c.stride) << i;
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

// Decodable candidates go through the signer check one by one, one update
// each, until the budget is spent.
TEST_F(NestedWalkBound, RefusedSignersOneUpdateEachWithinTheBudget) {
  sim::SignatureDesc refused;  // its signer's certificate is not in its store
  refused.signer.issuer = "Nobody's CA";
  refused.signer.serial = {0x42};
  const std::vector<uint8_t> nested = sim::EncodeNestedSignature(refused);
  ASSERT_EQ(nested.size(), 31u);  // steps 32
  const std::vector<uint8_t> bytes = Packed(nested, 256, 32, 0);
  sim::SignFileWithRawSignerRecord(kFile, bytes, 0);

  EXPECT_EQ(VerifyInOneLoad(), 0u);
  const std::vector<sim::MessageUpdate>& updates = sim::MessageUpdates();
  ASSERT_EQ(updates.size(), 4u);
  for (const sim::MessageUpdate& update : updates) EXPECT_TRUE(update.decoded);
  EXPECT_TRUE(sim::AllReleased());
}

// ---- the genTime walk's stack

struct DeepWalk {
  const der::Bytes* input;
  uint32_t insideTstInfo;
  uint64_t result;
};

void* RunDeepWalk(void* arg) {
  DeepWalk* walk = static_cast<DeepWalk*>(arg);
  walk->result = FindTimestampTime(walk->input->data(),
                                   static_cast<uint32_t>(walk->input->size()),
                                   walk->insideTstInfo);
  return nullptr;
}

// Runs the walk on a thread whose stack is far too small for one frame per
// level of the input: without the cap it would overflow and the test crash.
uint64_t FindOnSmallStack(const der::Bytes& input, uint32_t insideTstInfo) {
  constexpr size_t kStack = 256 * 1024;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  EXPECT_EQ(pthread_attr_setstacksize(&attr, kStack), 0);
  DeepWalk walk{&input, insideTstInfo, ~0ull};
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attr, &RunDeepWalk, &walk), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return walk.result;
}

TEST(TimestampDepthBound, NestingFarBeyondTheCapFitsASmallStack) {
  using namespace der;
  const Bytes time = GeneralizedTime("20200131123459Z");
  const Bytes token = Sequence({Oid(kOidTstInfo), Context(0, {OctetString(Sequence({time}))})});
  struct Case {
    const char* label;
    Bytes input;
    uint32_t insideTstInfo;
    uint64_t expected;
  };
  // 100,000 levels: a frame per level would need megabytes.
  constexpr uint32_t kLevels = 100000;
  const Case cases[] = {
      {"SEQUENCEs around a time", Nested(kSequence, kLevels, time), 1, 0},
      {"SEQUENCEs around a token", Nested(kSequence, kLevels, token), 0, 0},
      {"[0] wrappers", Nested(ContextTag(0), kLevels, time), 1, 0},
      {"SETs, then a time beside them", Concat({Nested(kSet, kLevels, time), time}), 1,
       20200131123459ull},
      {"the cap itself", Nested(kSequence, kTimestampMaxDepth, time), 1, 20200131123459ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(FindOnSmallStack(c.input, c.insideTstInfo), c.expected);
  }
}

// The one reader under the walks: an element read either takes exactly its
// header and content off the front or fails and leaves the cursor as it was.
TEST(ByteCursorBound, AnElementIsTakenWholeOrNotAtAll) {
  constexpr auto kStrict = ByteCursor::kDefiniteOnly;
  constexpr auto kLenient = ByteCursor::kZeroOctetsAreEmpty;
  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    ByteCursor::LengthForm form;
    bool read;
    uint32_t content;  // when read
    uint32_t left;     // when read
  };
  const std::vector<Case> cases = {
      {"short form", {0x04, 0x02, 0xAA, 0xBB, 0xCC}, kStrict, true, 2, 1},
      {"long form, not minimal", {0x04, 0x82, 0x00, 0x01, 0xAA}, kStrict, true, 1, 0},
      {"content one byte past the end", {0x04, 0x03, 0xAA, 0xBB}, kStrict, false, 0, 0},
      {"header cut short", {0x04}, kStrict, false, 0, 0},
      {"length octets cut short", {0x04, 0x82, 0x00}, kStrict, false, 0, 0},
      {"five length octets", {0x04, 0x85, 0, 0, 0, 0, 0x01, 0xAA}, kStrict, false, 0, 0},
      // A 32-bit position plus this length would wrap.
      {"length near 2^32", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFA, 0xAA}, kStrict, false, 0, 0},
      // 0x80, no length octets: refused where DER is asked for, an empty
      // content where the time-stamp walk reads it.
      {"0x80, strict", {0x04, 0x80, 0xAA}, kStrict, false, 0, 0},
      {"0x80, as empty", {0x04, 0x80, 0xAA}, kLenient, true, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ByteCursor cursor(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
    uint8_t tag = 0;
    ByteCursor content;
    ASSERT_EQ(cursor.ReadElement(&tag, &content, c.form), c.read);
    if (c.read) {
      EXPECT_EQ(tag, 0x04);
      EXPECT_EQ(content.size(), c.content);
      EXPECT_EQ(cursor.size(), c.left);
      EXPECT_EQ(cursor.data(), c.bytes.data() + c.bytes.size() - c.left);
    } else {
      EXPECT_EQ(cursor.data(), c.bytes.data());
      EXPECT_EQ(cursor.size(), c.bytes.size());
    }
  }
  // A whole element is one of that tag with nothing after it.
  const uint8_t whole[] = {0x30, 0x01, 0xAA, 0xBB};
  ByteCursor content;
  EXPECT_TRUE(ByteCursor(whole, 3).ReadWholeElement(0x30, &content));
  EXPECT_FALSE(ByteCursor(whole, 4).ReadWholeElement(0x30, &content));
  EXPECT_FALSE(ByteCursor(whole, 3).ReadWholeElement(0x04, &content));
  // A cursor made without bytes holds none, not even one.
  uint8_t byte = 0;
  EXPECT_FALSE(ByteCursor().ReadByte(&byte));
}

}  // namespace
