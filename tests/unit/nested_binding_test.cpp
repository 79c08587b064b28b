// What a nested signature must prove before its signer counts: the PE reader
// that finds the ranges the image digest leaves out, then the three proofs in
// a simulated world where the nested signature records the digest of the
// file it was made for, its signer signed the content's digest, and the chain
// engine and its Authenticode policy give their verdicts, and last the digest
// of the held file whatever the platform answers. Every case ends with
// everything released.
#include "secureload/nested_binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/crypto_api.h"
#include "secureload/image_digest.h"
#include "secureload/pinned_chain.h"
#include "secureload/system_library.h"
#include "secureload/verified_load.h"
#include "tests/support/pe_image.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

const wchar_t kLibrary[] = L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr SignaturePolicy kNoGate = 0;

// ------------------------------------------------------------------ the PE reader

TEST(ImageDigestLayoutTest, MalformedHeadersAreRefusedAndGoodOnesGiveTheRanges) {
  struct Case {
    const char* label;
    bool pe32Plus;
    std::function<void(std::vector<uint8_t>&)> change;
    bool good;
    uint32_t headerSize = 0;  // 0: the whole file
    uint32_t fileShorter = 0;  // the file ends this many bytes before the headers given
    uint32_t tableAt = 0;      // when good: where the table starts, 0: as built
  };
  using Bytes = std::vector<uint8_t>;
  const uint32_t lfanew = 0x3C, opt = pe_image::kOptionalOffset;
  const Case cases[] = {
      {"PE32", false, [](Bytes&) {}, true},
      {"PE32+", true, [](Bytes&) {}, true},
      {"no MZ", false, [](Bytes& b) { b[1] = 'X'; }, false},
      {"PE header offset that wraps", false, [=](Bytes& b) { pe_image::Put32(b, lfanew, 0xFFFFFFF0); }, false},
      {"PE header past the file", false, [=](Bytes& b) { pe_image::Put32(b, lfanew, 0x7FFFFFF0); }, false},
      {"no PE signature", false, [](Bytes& b) { b[pe_image::kPeOffset + 2] = 1; }, false},
      {"unknown optional header", false, [=](Bytes& b) { b[opt] = 0x07; }, false},
      {"optional header too short for the directory", false,
       [](Bytes& b) { b[pe_image::kPeOffset + 20] = 0x70; }, false},
      {"four directory entries", false, [=](Bytes& b) { pe_image::Put32(b, opt + 92, 4); }, false},
      {"three directory entries", false, [=](Bytes& b) { pe_image::Put32(b, opt + 92, 3); }, false},
      // Either side of PE32+'s magic, 0x20B, is no known optional header.
      {"PE32+ layout, magic 0x20A", true, [=](Bytes& b) { b[opt] = 0x0A; }, false},
      {"PE32+ layout, magic 0x20C", true, [=](Bytes& b) { b[opt] = 0x0C; }, false},
      // Past the file, with a size that wraps round to its end.
      {"table past the file, its size wrapping", false,
       [=](Bytes& b) {
         pe_image::Put32(b, opt + 96 + 32, static_cast<uint32_t>(b.size()) + 8);
         pe_image::Put32(b, opt + 96 + 36, 0xFFFFFFF8u);
       },
       false},
      {"no certificate table", false, [=](Bytes& b) { pe_image::Put32(b, opt + 96 + 36, 0); }, false},
      {"table inside the headers", false,
       [=](Bytes& b) {
         pe_image::Put32(b, opt + 96 + 32, 0x100);
         pe_image::Put32(b, opt + 96 + 36, static_cast<uint32_t>(b.size() - 0x100));
       },
       false},
      {"table not at the end", false, [](Bytes& b) { b.resize(b.size() + 8, 0); }, false},
      {"table past the end", false, [](Bytes& b) { b.resize(b.size() - 8); }, false},
      {"headers cut short", false, [](Bytes&) {}, false, 0x100},
      {"headers longer than the file", false,
       [=](Bytes& b) { pe_image::Put32(b, opt + 96 + 36, 24 - 8); }, false, 0, 8},
      // Only the DOS header says where the PE headers are.
      {"PE headers at the start, no DOS header", false,
       [=](Bytes& b) {
         const uint32_t table = static_cast<uint32_t>(b.size() - 24 - pe_image::kPeOffset);
         b.erase(b.begin(), b.begin() + pe_image::kPeOffset);
         pe_image::Put32(b, opt - pe_image::kPeOffset + 96 + 32, table);
       },
       false},
      {"optional header past the headers", false,
       [](Bytes& b) { b[pe_image::kPeOffset + 20] = b[pe_image::kPeOffset + 21] = 0xFF; }, false},
      {"PE32+, four directory entries", true, [=](Bytes& b) { pe_image::Put32(b, opt + 108, 4); },
       false},
      {"an empty table at the end", false,
       [=](Bytes& b) {
         pe_image::Put32(b, opt + 96 + 32, static_cast<uint32_t>(b.size()));
         pe_image::Put32(b, opt + 96 + 36, 0);
       },
       false},
      {"table right after its entry", false,
       [=](Bytes& b) {
         pe_image::Put32(b, opt + 96 + 32, opt + 96 + 40);
         pe_image::Put32(b, opt + 96 + 36, static_cast<uint32_t>(b.size()) - (opt + 96 + 40));
       },
       true, 0, 0, opt + 96 + 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    pe_image::Image image = pe_image::Build(c.pe32Plus);
    c.change(image.bytes);
    const uint32_t given = static_cast<uint32_t>(image.bytes.size());
    const uint32_t size = given - c.fileShorter;
    ImageDigestLayout layout = {};
    EXPECT_EQ(ReadImageDigestLayout(image.bytes.data(), c.headerSize ? c.headerSize : given, size,
                                    &layout),
              c.good);
    if (!c.good) continue;
    EXPECT_EQ(layout.checksumOffset, image.checksumOffset);
    EXPECT_EQ(layout.certEntryOffset, image.certEntryOffset);
    EXPECT_EQ(layout.certTableOffset, c.tableAt ? c.tableAt : image.certTableOffset);
    EXPECT_EQ(layout.fileSize, size);
  }
}

// ------------------------------------------------------------------ the proofs

struct World {
  pe_image::Image image = pe_image::Build();
  sim::SignatureDesc signature;
  sim::ChainDesc chain;
  sim::CertId leaf = 0;
};

sim::CertId Cert(const std::string& subject, const std::string& issuer,
                 std::vector<uint8_t> key = {}) {
  sim::CertDesc desc = crypt_world::Certificate(subject, issuer, {0x0B, 0x1D});
  desc.publicKey = std::move(key);
  return sim::AddCertificate(desc);
}

// The nested signature of a client library: allowed names, made for the image.
World NamedWorld() {
  World w;
  const char* const ca = "Sentrix Class 3 SHA256 Code Signing CA";
  const char* const g5 = "Verimark Class 3 Public Primary Certification Authority - G5";
  w.leaf = Cert("KORVEX Corporation", ca);
  const sim::CertId caCert = Cert(ca, g5);
  w.signature.certs = {w.leaf, caCert};
  w.signature.signer = sim::SignerOf(w.leaf);
  w.signature.indirect.imageDigest = pe_image::Digest(w.image, CALG_SHA_256);
  w.chain.simpleChains = {{w.leaf, caCert, Cert(g5, g5)}};
  return w;
}

// The cloud library's: the four pinned certificates, keys and all.
World PinnedWorld(bool otherL1Key = false) {
  World w;
  const PinnedChainRow* rows = PinnedChainTable[0].rows;
  auto key = [&](unsigned row) {
    std::vector<uint8_t> bytes(rows[row].keyBytes, rows[row].keyBytes + rows[row].keyLength);
    if (otherL1Key && row == 2) bytes[100] ^= 1;
    return bytes;
  };
  w.leaf = Cert(rows[0].expectedName, rows[1].expectedName);
  const sim::CertId zone = Cert(rows[1].expectedName, rows[2].expectedName);
  const sim::CertId l1 = Cert(rows[2].expectedName, rows[3].expectedName, key(2));
  const sim::CertId root = Cert(rows[3].expectedName, rows[3].expectedName, key(3));
  w.signature.certs = {w.leaf, zone, l1};
  w.signature.signer = sim::SignerOf(w.leaf);
  w.signature.indirect.imageDigest = pe_image::Digest(w.image, CALG_SHA_256);
  w.chain.simpleChains = {{w.leaf, zone, l1, root}};
  w.chain.elementInfos = {{0, 0, 0, CERT_TRUST_IS_SELF_SIGNED}};  // as a verified chain's root is
  return w;
}

// The message-digest attribute's value that the world's content really has.
std::vector<uint8_t> RightMessageDigest(const World& w) {
  const std::vector<uint8_t> content = sim::EncodeIndirectData(w.signature.indirect);
  const size_t header = 2 + ((content[1] & 0x80) ? (content[1] & 0x7F) : 0);
  std::vector<uint8_t> value =
      sim::SimulatedDigest(CALG_SHA_256, {content.begin() + header, content.end()});
  value.insert(value.begin(), {0x04, static_cast<uint8_t>(value.size())});
  return value;
}

// A named world whose image is `codeSize` bytes of code long, so that its
// digest is read in several blocks.
World LargeNamedWorld(uint32_t codeSize) {
  World w = NamedWorld();
  w.image = pe_image::Build(false, codeSize);
  w.signature.indirect.imageDigest = pe_image::Digest(w.image, CALG_SHA_256);
  return w;
}

// The input a proof is handed without.
enum Missing { kNothingMissing, kNoMessage, kNoStore, kNoFile, kInvalidFile };

class NestedBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    crypt_world::ResolveCryptoApi();
    // As a call of VerifyFileSignature leaves it.
    g_systemLibraryCache.crypt32 =
        LoadLibraryExW(L"C:\\Windows\\system32\\crypt32.dll", nullptr, 0);
  }

  // The world's file, its nested signature decoded as the walk decodes it,
  // the loader's handle on the file (less the one input `missing` names); all
  // released again afterwards.
  NestedBinding Prove(const World& w, SignaturePolicy policy, Missing missing = kNothingMissing) {
    sim::AddFile(kLibrary, w.image.bytes);
    sim::SetChain(w.leaf, w.chain);
    const std::vector<uint8_t> encoded = sim::EncodeNestedSignature(w.signature);
    const CryptoApiTable& api = g_cryptoApi;
    HCRYPTMSG message = api.CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(api.CryptMsgUpdate(message, encoded.data(), static_cast<DWORD>(encoded.size()),
                                   TRUE));
    DWORD size = 0;
    EXPECT_TRUE(api.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
    HLOCAL record = LocalAlloc(LPTR, size);
    EXPECT_TRUE(api.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, record, &size));
    HCERTSTORE store = api.CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message);
    LoadContext context;
    context.file =
        CreateFileW(kLibrary, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LoadContext handed = context;
    if (missing == kNoFile) handed.file = nullptr;
    if (missing == kInvalidFile) handed.file = INVALID_HANDLE_VALUE;
    PCCERT_CONTEXT cert = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const NestedBinding verdict = ProveNestedBinding(
        missing == kNoMessage ? nullptr : message, *static_cast<PCMSG_SIGNER_INFO>(record),
        missing == kNoStore ? nullptr : store, handed, policy, &cert, &chain);
    // The certificate and the chain are handed over with a bound signer only.
    EXPECT_EQ(cert != nullptr, verdict == kNestedBound);
    EXPECT_EQ(chain != nullptr, verdict == kNestedBound);
    if (chain != nullptr) api.CertFreeCertificateChain(chain);
    if (cert != nullptr) api.CertFreeCertificateContext(cert);
    CloseHandle(context.file);
    api.CertCloseStore(store, 0);
    LocalFree(record);
    api.CryptMsgClose(message);
    return verdict;
  }
};

// The message read through a CryptMsgGetParam that answers the queries of one
// parameter otherwise from the `g_faultAt`-th on (for the content, 1: the size
// query, 2: the fill): they fail, or report a size of 0, or one without the
// string's terminator, or one far past the room given, or count a byte after
// the terminator; or a signer record's content-type attribute counts no value,
// has no value table, or a value of its size at no address (the first such
// attribute only).
enum class Answer {
  kFails, kSizeZero, kTerminatorUncounted, kPastTheRoom, kByteAfterTerminator,
  kTypeCountsNoValue, kTypeWithoutValueTable, kTypeValueWithoutBytes
};
decltype(&::CryptMsgGetParam) g_realGetParam = nullptr;
DWORD g_faultParam = 0;
int g_faultAt = 0;
Answer g_faultAnswer = Answer::kFails;
BOOL WINAPI FaultyGetParam(HCRYPTMSG msg, DWORD type, DWORD index, void* data, DWORD* size) {
  if (type != g_faultParam || --g_faultAt > 0) return g_realGetParam(msg, type, index, data, size);
  if (g_faultAnswer == Answer::kFails) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return FALSE;
  }
  const BOOL ok = g_realGetParam(msg, type, index, data, size);
  if (!ok) return ok;
  if (g_faultAnswer == Answer::kSizeZero) *size = 0;
  if (g_faultAnswer == Answer::kTerminatorUncounted) *size -= 1;
  if (g_faultAnswer == Answer::kPastTheRoom) *size = 0xFFFFFFF0u;
  if (g_faultAnswer == Answer::kByteAfterTerminator) static_cast<char*>(data)[(*size)++] = '\x80';
  if (g_faultAnswer < Answer::kTypeCountsNoValue || data == nullptr) return ok;
  const CRYPT_ATTRIBUTES& attrs = static_cast<PCMSG_SIGNER_INFO>(data)->AuthAttrs;
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    CRYPT_ATTRIBUTE& attr = attrs.rgAttr[i];
    if (std::string(attr.pszObjId) != szOID_RSA_contentType) continue;
    if (g_faultAnswer == Answer::kTypeCountsNoValue) attr.cValue = 0;
    if (g_faultAnswer == Answer::kTypeValueWithoutBytes) attr.rgValue[0].pbData = nullptr;
    if (g_faultAnswer == Answer::kTypeWithoutValueTable) attr.rgValue = nullptr;
    break;  // the first one only
  }
  return ok;
}

// The indirect data decoded, then handed back as no structure at all, or with
// its digest's size but no bytes.
enum class Decoded { kNothing, kDigestWithoutBytes };
decltype(&::CryptDecodeObjectEx) g_realDecode = nullptr;
Decoded g_decoded = Decoded::kNothing;
BOOL WINAPI FaultyDecode(DWORD encoding, LPCSTR type, const BYTE* data, DWORD size, DWORD flags,
                         PCRYPT_DECODE_PARA para, void* out, DWORD* outSize) {
  const BOOL ok = g_realDecode(encoding, type, data, size, flags, para, out, outSize);
  if (!ok || type != SPC_INDIRECT_DATA_CONTENT_STRUCT) return ok;
  auto* indirect = static_cast<PSPC_INDIRECT_DATA_CONTENT*>(out);
  if (g_decoded == Decoded::kDigestWithoutBytes) {
    (*indirect)->Digest.pbData = nullptr;
  } else {
    LocalFree(*indirect);
    *indirect = nullptr;
  }
  return ok;
}

TEST_F(NestedBindingTest, EachProofRefusesWhatItCannotEstablish) {
  using Change = std::function<void(World&)>;
  const Change none = [](World&) {};
  const auto Answered = [](DWORD param, int nth, Answer answer) -> Change {
    return [=](World&) {
      g_realGetParam = g_cryptoApi.CryptMsgGetParam;
      g_faultParam = param;
      g_faultAt = nth;
      g_faultAnswer = answer;
      g_cryptoApi.CryptMsgGetParam = &FaultyGetParam;
    };
  };
  const auto Decodes = [](Decoded answer) -> Change {
    return [=](World&) {
      g_realDecode = g_cryptoApi.CryptDecodeObjectEx;
      g_decoded = answer;
      g_cryptoApi.CryptDecodeObjectEx = &FaultyDecode;
    };
  };
  const auto Chain = [](void (*shape)(sim::ChainDesc&)) -> Change {
    return [=](World& w) { shape(w.chain); };
  };
  // The test's own signer record takes the first allocation.
  const Change noMemory = [](World&) { sim::FailLocalAllocation(2); };
  const auto Both = [](Change first, Change second) -> Change {
    return [=](World& w) {
      first(w);
      second(w);
    };
  };
  // The right message digest's bytes behind this tag and length, less `drop`
  // bytes, and `after` behind them.
  const auto DigestValue = [](std::vector<uint8_t> header, size_t drop = 0,
                              std::vector<uint8_t> after = {}) -> Change {
    return [header, drop, after](World& w) {
      const std::vector<uint8_t> right = RightMessageDigest(w);
      std::vector<uint8_t> value = header;
      value.insert(value.end(), right.begin() + 2, right.end() - static_cast<std::ptrdiff_t>(drop));
      value.insert(value.end(), after.begin(), after.end());
      w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {value}}};
    };
  };
  struct Case {
    const char* label;
    std::function<World()> world;
    SignaturePolicy policy;
    Change change;
    NestedBinding expected;
    Missing missing = kNothingMissing;
  };
  const std::vector<Case> cases = {
      {"named chain, made for this file", NamedWorld, kPolicyNamedChains, none, kNestedBound},
      {"pinned chain, made for this file", [] { return PinnedWorld(); }, kPolicyPinnedChain, none,
       kNestedBound},
      {"SHA-1 image digest", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.indirect.digestOid = szOID_OIWSEC_sha1;
         w.signature.indirect.imageDigest = pe_image::Digest(w.image, CALG_SHA1);
       },
       kNestedBound},
      {"PE32+ image", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.image = pe_image::Build(true);
         w.signature.indirect.imageDigest = pe_image::Digest(w.image, CALG_SHA_256);
       },
       kNestedBound},
      // The three left-out ranges may change after signing; nothing else may.
      {"CheckSum rewritten", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.image.bytes[w.image.checksumOffset] ^= 0xFF; }, kNestedBound},
      {"a larger certificate table", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.image = pe_image::Build(false, 3000, 4096); }, kNestedBound},
      // Past the first read block, and past the second: every block is read
      // at its own offset, and every byte of it counts.
      {"image past 64 KiB", [] { return LargeNamedWorld(70000); }, kPolicyNamedChains, none,
       kNestedBound},
      {"image past 128 KiB", [] { return LargeNamedWorld(140000); }, kPolicyNamedChains, none,
       kNestedBound},
      {"one byte changed in the second block", [] { return LargeNamedWorld(140000); },
       kPolicyNamedChains, [](World& w) { w.image.bytes[kImageReadBlock + 0x100] ^= 1; },
       kNestedNotThisFile},
      {"one byte changed in the last block", [] { return LargeNamedWorld(140000); },
       kPolicyNamedChains, [](World& w) { w.image.bytes[w.image.certTableOffset - 1] ^= 1; },
       kNestedNotThisFile},
      {"one code byte changed", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.image.bytes[w.image.certTableOffset - 1] ^= 1; }, kNestedNotThisFile},
      {"recorded digest differs in its last byte", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.indirect.imageDigest.back() ^= 1; }, kNestedNotThisFile},
      {"lifted from another file", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.indirect.imageDigest =
             pe_image::Digest(pe_image::Build(false, 2000), CALG_SHA_256);
       },
       kNestedNotThisFile},
      {"unsupported digest algorithm (MD5)", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.indirect.digestOid = "1.2.840.113549.2.5";
         w.signature.indirect.imageDigest.resize(16);
       },
       kNestedNotThisFile},
      // Nothing to compare is no match.
      {"empty image digest, and no image to digest", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.indirect.imageDigest.clear();
         w.image.bytes.resize(0x120);
       },
       kNestedNotThisFile},
      {"SHA-256 digest named SHA-1", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.indirect.digestOid = szOID_OIWSEC_sha1; }, kNestedNotThisFile},
      {"not PE image data", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.indirect.dataOid = "1.3.6.1.4.1.311.2.1.25"; },
       kNestedNotThisFile},
      // Identifiers are compared to their last byte, and no further.
      {"PE image data identifier, its last digit changed", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.indirect.dataOid = "1.3.6.1.4.1.311.2.1.16"; },
       kNestedNotThisFile},
      {"PE image data identifier, one digit more", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.indirect.dataOid = "1.3.6.1.4.1.311.2.1.150"; },
       kNestedNotThisFile},
      {"inner content type, one digit more", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.contentType = "1.3.6.1.4.1.311.2.1.40"; }, kNestedNotThisFile},
      {"content a SEQUENCE that is not indirect data", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.content = {0x30, 0x03, 0x02, 0x01, 0x01}; }, kNestedNotThisFile},
      {"truncated image", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.image.bytes.resize(0x120); }, kNestedNotThisFile},
      {"bytes after the certificate table", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.image.bytes.resize(w.image.bytes.size() + 8); }, kNestedNotThisFile},
      {"bad signature", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.signatureValid = false; }, kNestedSignatureInvalid},
      {"signer's digest algorithm unsupported (MD5)", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.signer.digestOid = "1.2.840.113549.2.5"; },
       kNestedSignatureInvalid},
      // The digest is of one whole SEQUENCE's content.
      {"content with a byte after its SEQUENCE", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {RightMessageDigest(w)}}};
         w.signature.content = sim::EncodeIndirectData(w.signature.indirect);
         w.signature.content.push_back(0x00);
       },
       kNestedSignatureInvalid},
      {"message digest of other content", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         std::vector<uint8_t> other = sim::SimulatedDigest(CALG_SHA_256, {1, 2, 3});
         other.insert(other.begin(), {0x04, 32});
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {other}}};
       },
       kNestedSignatureInvalid},
      // The digest these rows repeat is the right one, as the first row shows.
      {"the message digest given as a signer gives it", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {RightMessageDigest(w)}}};
       },
       kNestedBound},
      {"two message digests, both right", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         const std::vector<uint8_t> right = RightMessageDigest(w);
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {right}},
                                         {szOID_RSA_messageDigest, {right}}};
       },
       kNestedSignatureInvalid},
      // The message-digest value is one whole OCTET STRING, in either length form.
      {"message digest, long-form length", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 0x81, 32}), kNestedBound},
      {"message digest, four length octets", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 0x84, 0, 0, 0, 32}), kNestedBound},
      {"message digest, five length octets", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 0x85, 0, 0, 0, 0, 32}), kNestedSignatureInvalid},
      {"message digest, indefinite length", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 0x80}), kNestedSignatureInvalid},
      {"message digest, length one short", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 31}), kNestedSignatureInvalid},
      {"message digest, length one long", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 33}), kNestedSignatureInvalid},
      {"message digest, not an OCTET STRING", NamedWorld, kPolicyNamedChains,
       DigestValue({0x05, 32}), kNestedSignatureInvalid},
      {"message digest, a byte after it", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 32}, 0, {0x00}), kNestedSignatureInvalid},
      {"message digest, one byte too many", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 33}, 0, {0x00}), kNestedSignatureInvalid},
      {"message digest, its last byte changed", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         std::vector<uint8_t> changed = RightMessageDigest(w);
         changed.back() ^= 1;
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {changed}}};
       },
       kNestedSignatureInvalid},
      {"message digest, one byte short", NamedWorld, kPolicyNamedChains,
       DigestValue({0x04, 31}, 1), kNestedSignatureInvalid},
      // Not compared past its end, whatever the record holds behind it.
      {"message digest, one byte short, the byte it lacks right behind it", NamedWorld,
       kPolicyNamedChains,
       [](World& w) {
         std::vector<uint8_t> value = RightMessageDigest(w);
         const char lacking = static_cast<char>(value.back());
         value.pop_back();
         value[1] = 31;
         // The next attribute's identifier is laid out right after the value.
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {value}},
                                         {std::string(1, lacking) + ".2", {}}};
       },
       kNestedSignatureInvalid},
      {"message digest, a tag alone", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {{0x04}}}}; },
       kNestedSignatureInvalid},
      {"message digest, length octets past the end", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {{0x04, 0x82, 0x00}}}};
       },
       kNestedSignatureInvalid},
      {"message digest, no value", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.signer.authAttrs = {{szOID_RSA_messageDigest, {}}}; },
       kNestedSignatureInvalid},
      {"a message digest of two values, the first right", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         std::vector<uint8_t> other = sim::SimulatedDigest(CALG_SHA_256, {1, 2, 3});
         other.insert(other.begin(), {0x04, 32});
         w.signature.signer.authAttrs = {
             {szOID_RSA_messageDigest, {RightMessageDigest(w), other}}};
       },
       kNestedSignatureInvalid},
      // The content is indirect data only when the message and its signer
      // both say so.
      {"inner content type is data", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.contentType = "1.2.840.113549.1.7.1"; }, kNestedNotThisFile},
      {"signed content type is data", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.signature.signer.authAttrs = {
             {szOID_RSA_contentType,
              {{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}}}};
       },
       kNestedNotThisFile},
      {"signed content type without a value", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.signer.authAttrs = {{szOID_RSA_contentType, {}}}; },
       kNestedNotThisFile},
      {"signed content type, its last byte one higher", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         std::vector<uint8_t> type = sim::EncodedIndirectDataType();
         type.back() += 1;
         w.signature.signer.authAttrs = {{szOID_RSA_contentType, {type}}};
       },
       kNestedNotThisFile},
      // Only what the record counts, and a value that is there, is read.
      {"signed content type counting no value", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_SIGNER_INFO_PARAM, 2, Answer::kTypeCountsNoValue), kNestedNotThisFile},
      {"signed content type without a value table, then one with its value", NamedWorld,
       kPolicyNamedChains,
       Both(
           [](World& w) {
             w.signature.signer.authAttrs = {{szOID_RSA_contentType, {sim::EncodedIndirectDataType()}},
                                             {szOID_RSA_contentType, {sim::EncodedIndirectDataType()}}};
           },
           Answered(CMSG_SIGNER_INFO_PARAM, 2, Answer::kTypeWithoutValueTable)),
       kNestedNotThisFile},
      {"signed content type, a value of its size at no address", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_SIGNER_INFO_PARAM, 2, Answer::kTypeValueWithoutBytes), kNestedNotThisFile},
      {"inner content type reported far past the room given", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_INNER_CONTENT_TYPE_PARAM, 1, Answer::kPastTheRoom), kNestedNotThisFile},
      {"inner content type, a byte counted after its terminator", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_INNER_CONTENT_TYPE_PARAM, 1, Answer::kByteAfterTerminator),
       kNestedNotThisFile},
      {"indirect data decoded to nothing", NamedWorld, kPolicyNamedChains,
       Decodes(Decoded::kNothing), kNestedNotThisFile},
      {"indirect data, a digest of its size at no address", NamedWorld, kPolicyNamedChains,
       Decodes(Decoded::kDigestWithoutBytes), kNestedNotThisFile},
      {"inner content type reported as 0 bytes", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_INNER_CONTENT_TYPE_PARAM, 1, Answer::kSizeZero), kNestedNotThisFile},
      {"inner content type without its terminator", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_INNER_CONTENT_TYPE_PARAM, 1, Answer::kTerminatorUncounted),
       kNestedNotThisFile},
      // Refused before anything is handed a null certificate (Wine's crypt32
      // would read through it).
      {"signer's certificate not carried", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.certs.erase(w.signature.certs.begin()); },
       kNestedSignatureInvalid},
      {"signer's certificate carried twice", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.signature.certs.push_back(w.leaf); }, kNestedBound},
      {"another certificate with the signer's issuer and serial", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         sim::CertDesc twin = sim::CertificateDesc(w.leaf);
         twin.publicKey = {0x7A};
         w.signature.certs.push_back(sim::AddCertificate(twin));
       },
       kNestedSignatureInvalid},
      // A policy call that fails refuses, whatever it left in its status.
      {"chain policy call fails", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.policyCallFails = true; }, kNestedChainUntrusted},
      {"untrusted root", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.elementErrors = {{0, 0, CERT_TRUST_IS_UNTRUSTED_ROOT}}; },
       kNestedChainUntrusted},
      {"intermediate's signature does not verify", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.elementErrors = {{0, CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0}}; },
       kNestedChainUntrusted},
      // The Authenticode policy lets these pass, as Wine's does: the chain
      // stops short of any root, here at a look-alike "G5" whose issuer is
      // nowhere, and with no policy gate at the CA.
      {"partial chain, allowed names", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.chainErrors = {CERT_TRUST_IS_PARTIAL_CHAIN}; },
       kNestedChainUntrusted},
      {"partial chain, no policy gate", NamedWorld, kNoGate,
       [](World& w) {
         w.chain.simpleChains[0].pop_back();
         w.chain.chainErrors = {CERT_TRUST_IS_PARTIAL_CHAIN};
       },
       kNestedChainUntrusted},
      {"two simple chains, each trusted", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.simpleChains.push_back(w.chain.simpleChains[0]); },
       kNestedChainUntrusted},
      {"refused by the Authenticode policy alone", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.policyError = 0x800B0110; }, kNestedChainUntrusted},
      // A context that does not hold what it says is no verified chain.
      {"a simple chain of no element", NamedWorld, kNoGate,
       Chain([](sim::ChainDesc& c) { c.simpleChains = {{}}; }), kNestedChainUntrusted},
      {"chain context counting no simple chain", NamedWorld, kNoGate,
       Chain([](sim::ChainDesc& c) { c.countedChains = 0; }), kNestedChainUntrusted},
      {"chain built, no context given", NamedWorld, kNoGate,
       Chain([](sim::ChainDesc& c) { c.gap = sim::ChainDesc::Gap::kNoContext; }),
       kNestedChainUntrusted},
      {"chain context without its table of simple chains", NamedWorld, kNoGate,
       Chain([](sim::ChainDesc& c) { c.gap = sim::ChainDesc::Gap::kNoTable; }),
       kNestedChainUntrusted},
      {"chain context whose simple chain is null", NamedWorld, kNoGate,
       Chain([](sim::ChainDesc& c) { c.gap = sim::ChainDesc::Gap::kNullFirstChain; }),
       kNestedChainUntrusted},
      {"chain does not build", NamedWorld, kPolicyNamedChains,
       [](World& w) {
         w.chain.builds = false;
         w.chain.error = static_cast<DWORD>(CRYPT_E_NOT_FOUND);
       },
       kNestedChainUntrusted},
      // The verified chain itself must be one the policy allows.
      {"named policy, verified chain through another CA", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.simpleChains[0][1] = Cert("Other CA", "Other Root"); },
       kNestedChainNotAllowed},
      {"named policy, verified chain one longer", NamedWorld, kPolicyNamedChains,
       [](World& w) { w.chain.simpleChains[0].push_back(Cert("Cross Root", "Cross Root")); },
       kNestedChainNotAllowed},
      {"no policy gate: any trusted chain", NamedWorld, kNoGate,
       [](World& w) { w.chain.simpleChains[0][1] = Cert("Other CA", "Other Root"); },
       kNestedBound},
      // Any other policy value has no gate either.
      {"a policy value past the named chains: any trusted chain", NamedWorld,
       kPolicyNamedChains + 1,
       [](World& w) { w.chain.simpleChains[0][1] = Cert("Other CA", "Other Root"); },
       kNestedBound},
      {"no policy gate: a self-signed signer the machine trusts", NamedWorld, kNoGate,
       [](World& w) {
         w.leaf = Cert("Self Signer", "Self Signer");
         w.signature.certs = {w.leaf};
         w.signature.signer = sim::SignerOf(w.leaf);
         w.chain.simpleChains = {{w.leaf}};
         w.chain.elementInfos = {{CERT_TRUST_IS_SELF_SIGNED}};
       },
       kNestedBound},
      {"the content's size cannot be read", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_CONTENT_PARAM, 1, Answer::kFails), kNestedSignatureInvalid},
      {"the content cannot be read", NamedWorld, kPolicyNamedChains,
       Answered(CMSG_CONTENT_PARAM, 2, Answer::kFails), kNestedSignatureInvalid},
      {"no memory for the content", NamedWorld, kPolicyNamedChains, noMemory, kNestedUncheckable},
      // Refused as soon as its size is known, before any room is asked for it.
      {"no content's size, and no memory", NamedWorld, kPolicyNamedChains,
       Both(Answered(CMSG_CONTENT_PARAM, 1, Answer::kFails), noMemory), kNestedSignatureInvalid},
      {"an empty content, and no memory", NamedWorld, kPolicyNamedChains,
       Both(Answered(CMSG_CONTENT_PARAM, 1, Answer::kSizeZero), noMemory),
       kNestedSignatureInvalid},
      {"crypt32 not resident", NamedWorld, kPolicyNamedChains,
       [](World&) {
         FreeLibrary(g_systemLibraryCache.crypt32);
         g_systemLibraryCache.crypt32 = nullptr;
       },
       kNestedUncheckable},
      {"no hash provider", NamedWorld, kPolicyNamedChains,
       [](World&) { sim::FailHashProvider(1); }, kNestedUncheckable},
      {"no message", NamedWorld, kPolicyNamedChains, none, kNestedUncheckable, kNoMessage},
      {"no store", NamedWorld, kPolicyNamedChains, none, kNestedUncheckable, kNoStore},
      {"no file", NamedWorld, kPolicyNamedChains, none, kNestedUncheckable, kNoFile},
      {"an invalid file handle", NamedWorld, kPolicyNamedChains, none, kNestedUncheckable,
       kInvalidFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    World w = c.world();
    c.change(w);
    EXPECT_EQ(Prove(w, c.policy, c.missing), c.expected);
    EXPECT_TRUE(sim::AllReleased());
    if (c.expected == kNestedBound) {
      // The digests come from advapi32 of the system directory only, never
      // from the default search order.
      std::vector<std::string> loads;
      for (const std::string& line : sim::Trace()) {
        if (line.rfind("LoadLibrary", 0) == 0 && line.find("advapi32") != std::string::npos) {
          loads.push_back(line);
        }
      }
      EXPECT_EQ(loads, std::vector<std::string>{"LoadLibraryExW advapi32.dll 0x800"});
      // Built from the nested signature's certificates, fetching nothing.
      EXPECT_EQ(sim::CountTrace("CertGetCertificateChain 0x1 "), 1u);
      bool asked = false;
      for (const std::string& line : sim::Trace()) {
        asked = asked || (line.rfind("CertGetCertificateChain", 0) == 0 &&
                          line.find("store=given") != std::string::npos &&
                          line.find("/0/1/ids flags=0x2104") != std::string::npos);
      }
      EXPECT_TRUE(asked);
    }
  }
}

// Through the verified load: the nested signature alone admits the library,
// and a byte changed after signing keeps it unmapped. Under the pinned gate,
// the gate judges the chain the proof verified: one chain is built for the
// nested signer, not one in the proof and another in the gate.
TEST_F(NestedBindingTest, TheVerifiedLoadMapsOnlyTheFileTheNestedSignatureSigned) {
  struct Case {
    const char* label;
    bool pinned;
    bool changed;
    std::function<World()> world;
    bool mapped;
  };
  const Case cases[] = {
      {"as signed", false, false, NamedWorld, true},
      {"changed", false, true, NamedWorld, false},
      {"pinned, as signed", true, false, [] { return PinnedWorld(); }, true},
      // The chain that verified is the pinned gate's to judge, and it refuses.
      {"pinned, other L1 key", true, false, [] { return PinnedWorld(true); }, false},
      {"pinned, a named chain", true, false, NamedWorld, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetProcessState();
    World w = c.world();
    if (c.changed) w.image.bytes[0x200] ^= 1;
    sim::AddFile(kLibrary, w.image.bytes);
    sim::AddLibrary(kLibrary, {});
    sim::SetChain(w.leaf, w.chain);
    sim::SetTrustVerdict(kLibrary, 0);
    sim::SignatureDesc primary;  // its signer is not carried: refused
    primary.signer.issuer = "Nobody";
    primary.signer.serial = {0x99};
    primary.signer.unauthAttrs = {
        {szOID_NESTED_SIGNATURE, {sim::EncodeNestedSignature(w.signature)}}};
    sim::SignFile(kLibrary, primary);

    sim::ClearTrace();
    HMODULE module = LoadVerifiedLibrary(kLibrary, c.pinned ? kPolicyPinnedChain : kNoGate);
    EXPECT_EQ(module != nullptr, c.mapped);
    const auto& mapped = sim::MappedPaths();
    EXPECT_EQ(std::count(mapped.begin(), mapped.end(), std::wstring(kLibrary)), c.mapped ? 1 : 0);
    EXPECT_GT(sim::FileReads(), 0u);
    if (c.pinned) {
      EXPECT_EQ(sim::CountTrace("CertGetCertificateChain"), 1u);
    }
    if (module != nullptr) FreeLibrary(module);
    EXPECT_TRUE(sim::AllReleased());
  }
}

// However many nested signatures ask for the image digest, one load reads the
// file for it once: here the first is refused at its chain after its digest
// matched, and the second is accepted.
TEST_F(NestedBindingTest, OneLoadReadsTheImageDigestOnce) {
  World w = LargeNamedWorld(140000);  // three read blocks
  const sim::CertId other = Cert("KORVEX Corporation", "Other CA");
  sim::SignatureDesc first = w.signature;
  first.certs = {other};
  first.signer = sim::SignerOf(other);
  sim::ChainDesc partial;
  partial.simpleChains = {{other}};
  partial.chainErrors = {CERT_TRUST_IS_PARTIAL_CHAIN};
  sim::AddFile(kLibrary, w.image.bytes);
  sim::AddLibrary(kLibrary, {});
  sim::SetChain(w.leaf, w.chain);
  sim::SetChain(other, partial);
  sim::SetTrustVerdict(kLibrary, 0);
  sim::SignatureDesc primary;  // its signer is not carried: refused
  primary.signer.issuer = "Nobody";
  primary.signer.serial = {0x99};
  primary.signer.unauthAttrs = {
      {szOID_NESTED_SIGNATURE,
       {sim::EncodeNestedSignature(first), sim::EncodeNestedSignature(w.signature)}}};
  sim::SignFile(kLibrary, primary);

  HMODULE module = LoadVerifiedLibrary(kLibrary, kNoGate);

  ASSERT_NE(module, nullptr);
  EXPECT_EQ(sim::CountTrace("CertGetCertificateChain"), 2u);
  EXPECT_EQ(sim::FileReads(), 3u);
  FreeLibrary(module);
  EXPECT_TRUE(sim::AllReleased());
}

// The image digest of the held file: whatever the platform answers, it is the
// digest of every byte as the file has it, or none at all.
TEST_F(NestedBindingTest, TheImageDigestIsOfEveryByteAsTheFileHasItOrNone) {
  const auto Read = [](unsigned nth, sim::ReadAnswer answer) {
    return [=] { sim::AnswerFileRead(nth, answer); };
  };
  const pe_image::Image small = pe_image::Build();
  const pe_image::Image large = pe_image::Build(false, 140000);  // three read blocks
  const pe_image::Image past64KiB = pe_image::Build(false, 70000);
  const auto TableAt = [](pe_image::Image image, uint32_t at, uint32_t fileSize) {
    pe_image::Put32(image.bytes, image.certEntryOffset, at);
    pe_image::Put32(image.bytes, image.certEntryOffset + 4, fileSize - at);
    image.certTableOffset = at;
    return image;
  };
  constexpr uint64_t k4GiB = 1ull << 32;
  struct Case {
    const char* label;
    pe_image::Image image;
    std::function<void()> arrange;
    bool computed;
    uint64_t sparseLength = 0;  // 0: the image's bytes alone
    unsigned reads = 0;         // where stated: reads of 64 KiB blocks
  };
  const Case cases[] = {
      {"three blocks", large, [] {}, true},
      // The last block holds a single byte.
      {"the table a byte into the second block",
       TableAt(past64KiB, 64 * 1024 + 1, static_cast<uint32_t>(past64KiB.bytes.size())), [] {},
       true, 0, 2},
      {"the table right after two whole blocks",
       TableAt(large, 128 * 1024, static_cast<uint32_t>(large.bytes.size())), [] {}, true, 0, 2},
      {"4 GiB less a byte, the table all but the headers and code",
       TableAt(small, small.certTableOffset, 0xFFFFFFFFu), [] {}, true, 0xFFFFFFFFull},
      {"past 4 GiB", small, [] {}, false, k4GiB + small.bytes.size()},
      {"its size cannot be had", small, [] { sim::FailFileSize(ERROR_ACCESS_DENIED); }, false},
      {"no memory for the read block", small, [] { sim::FailCrtAllocation(1); }, false},
      {"a later block cannot be read", large, Read(2, sim::ReadAnswer::kFails), false},
      {"a read a byte short", large, Read(1, sim::ReadAnswer::kShortByOne), true},
      {"a read that gives nothing", large, Read(2, sim::ReadAnswer::kNothing), false},
      {"a read that claims more than asked", large, Read(2, sim::ReadAnswer::kMoreThanAsked),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    sim::AddFile(kLibrary, c.image.bytes);
    if (c.sparseLength != 0) sim::SetSparseLength(kLibrary, c.sparseLength);
    HANDLE file =
        CreateFileW(kLibrary, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    c.arrange();
    BYTE digest[kMaxDigestSize] = {};
    DWORD size = 0;
    EXPECT_EQ(ComputeImageDigest(file, CALG_SHA_256, digest, sizeof digest, &size), c.computed);
    if (c.reads != 0) {
      EXPECT_EQ(sim::FileReads(), c.reads);
    }
    if (c.computed) {
      EXPECT_EQ(std::vector<uint8_t>(digest, digest + size),
                pe_image::Digest(c.image, CALG_SHA_256));
    }
    CloseHandle(file);
    EXPECT_TRUE(sim::AllReleased());
  }
}

// One computation per algorithm and load, whatever is asked in which order;
// no slot is another algorithm's.
TEST_F(NestedBindingTest, EachAlgorithmsDigestIsComputedOnceAndKeptApart) {
  constexpr ALG_ID kMd5 = 0x8003;
  struct Case {
    const char* label;
    std::vector<ALG_ID> asked;
    std::vector<bool> given;
    unsigned reads;
  };
  const Case cases[] = {
      {"SHA-1, SHA-256, then each again", {CALG_SHA1, CALG_SHA_256, CALG_SHA1, CALG_SHA_256},
       {true, true, true, true}, 2},
      {"SHA-256, SHA-1, then each again", {CALG_SHA_256, CALG_SHA1, CALG_SHA_256, CALG_SHA1},
       {true, true, true, true}, 2},
      {"a third algorithm once both are held", {CALG_SHA1, CALG_SHA_256, kMd5},
       {true, true, false}, 2},
      {"no algorithm, then SHA-256", {0, CALG_SHA_256}, {false, true}, 1},
  };
  const pe_image::Image image = pe_image::Build();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    sim::AddFile(kLibrary, image.bytes);
    LoadContext context;
    context.file =
        CreateFileW(kLibrary, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    for (size_t i = 0; i < c.asked.size(); ++i) {
      SCOPED_TRACE(i);
      const BYTE* digest = nullptr;
      DWORD size = 0;
      ASSERT_EQ(HeldImageDigest(context, c.asked[i], &digest, &size), c.given[i]);
      if (c.given[i]) {
        EXPECT_EQ(std::vector<uint8_t>(digest, digest + size), pe_image::Digest(image, c.asked[i]));
      }
    }
    EXPECT_EQ(sim::FileReads(), c.reads);
    CloseHandle(context.file);
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
