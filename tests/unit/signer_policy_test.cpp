// VerifySigner in a simulated world: signer records as the platform lays them
// out, stores, the chain engine's result, counter-signatures, time-stamp
// tokens and the trust provider's verdict. Every case ends by checking that
// everything the check acquired was released.
#include "secureload/signer_policy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/pinned_chain.h"
#include "secureload/system_library.h"
#include "tests/support/der_writer.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

using crypt_world::FileTimeOf;
using crypt_world::kTicksPerSecond;

const wchar_t kLibrary[] = L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll";
const char kKorvex[] = "KORVEX Corporation";
const char kSentrix[] = "Sentrix Class 3 SHA256 Code Signing CA";
const char kG5[] = "Verimark Class 3 Public Primary Certification Authority - G5";
const char kTimeStamper[] = "Time Stamping Signer";

constexpr DWORD kStillPending = 0xDEAD;
// Stands for the handle the verified load holds on kLibrary; only handed on.
const HANDLE kHeldFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4E1D));
// What every release leaves in the last error here, so that a reason that does
// not survive a clean-up call shows.
constexpr DWORD kReleaseNoise = 0x5EED;

// ------------------------------------------------------------------ tokens

// An RFC 3161 token as a time-stamp authority writes it: ContentInfo of
// SignedData whose encapContentInfo carries the TSTInfo in an OCTET STRING.
der::Bytes TimestampToken(const char* genTime) {
  using namespace der;
  const Bytes tstInfo = Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                                  Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0x11))}),
                                  Integer(0x2A), GeneralizedTime(genTime)});
  const Bytes signedData =
      Sequence({Integer(3), Set({Algorithm(kOidSha256)}),
                Sequence({Oid(kOidTstInfo), Context(0, {OctetString(tstInfo)})}),
                Set({Sequence({Integer(1), UtcTime("200131123500Z")})})});
  return Sequence({Oid(kOidSignedData), Context(0, {signedData})});
}
// A well-formed token whose content holds no TSTInfo: FindTimestampTime gives 0.
der::Bytes TokenWithoutTime() {
  using namespace der;
  return Sequence({Oid(kOidSignedData), Context(0, {Sequence({Integer(3), Set({})})})});
}

sim::AttributeDesc SigningTimeAttr(uint64_t fileTime) {
  return {szOID_RSA_signingTime, {sim::EncodeSigningTime(fileTime)}};
}
sim::AttributeDesc TimestampAttr(const der::Bytes& token) {
  return {szOID_RFC3161_counterSign, {token}};
}

// ------------------------------------------------------------------ fixture

class VerifySignerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    crypt_world::ResolveCryptoApi();
    sim::AddFile(kLibrary);
    sim::SetTrustVerdict(kLibrary, 0);
    sim::SetCurrentTime(FileTimeOf(2025, 6, 1));
    sim::ClobberLastErrorOnRelease(kReleaseNoise);
  }

  // Judges the signer against a store of `certs`; afterwards the store is
  // closed and the record freed, and nothing may be left held.
  // `shape`, when given, alters the record as laid out before it is judged.
  DWORD Judge(const sim::SignerDesc& signer, const std::vector<sim::CertId>& certs,
              SignaturePolicy policy, void (*shape)(CMSG_SIGNER_INFO&) = nullptr) {
    HCERTSTORE store = sim::internal::OpenStoreOf(certs);
    DWORD result;
    {
      crypt_world::SignerRecord record(signer);
      if (shape != nullptr) shape(*record.get());
      // The certificate the signer proof would hand over, or none.
      CERT_INFO wanted = {};
      wanted.Issuer = record.get()->Issuer;
      wanted.SerialNumber = record.get()->SerialNumber;
      PCCERT_CONTEXT cert = CertFindCertificateInStore(
          store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      sim::ClearTrace();
      SetLastError(kStillPending);
      refusals_.clear();
      const VerifyObserver observer{[](void* heard, const ObservedEvent& e) {
                                      if (e.step == kObservedRefusal) {
                                        static_cast<std::vector<DWORD>*>(heard)->push_back(e.verdict);
                                      }
                                    },
                                    &refusals_};
      result = VerifySigner(record.get(), cert, store, kLibrary, kHeldFile, policy, nullptr,
                            &observer);
      lastError_ = GetLastError();
      trace_ = sim::Trace();
      CertFreeCertificateContext(cert);
    }
    CertCloseStore(store, 0);
    EXPECT_TRUE(sim::AllReleased())
        << "held contexts " << sim::Live().certContexts << ", chains " << sim::Live().chainContexts
        << ", local blocks " << sim::Live().localBlocks << ", bad releases "
        << sim::Live().badReleases;
    return result;
  }

  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : trace_) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  std::vector<std::string> Lines(std::initializer_list<const char*> prefixes) const {
    std::vector<std::string> out;
    for (const std::string& line : trace_) {
      for (const char* prefix : prefixes) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
      }
    }
    return out;
  }

  DWORD lastError_ = 0;
  std::vector<std::string> trace_;
  std::vector<DWORD> refusals_;  // the gates' told refusals (SignerRefusal)
};

// ------------------------------------------------------------------ pinned chain

class PinnedChainGateTest : public VerifySignerTest {
 protected:
  void SetUp() override {
    VerifySignerTest::SetUp();
    const PinnedChainRow* rows = PinnedChainTable[0].rows;
    for (unsigned j = 0; j < 4; ++j) {
      descs_[j].subject = rows[j].expectedName;
      descs_[j].issuer = rows[j < 3 ? j + 1 : 3].expectedName;
      descs_[j].serial = {static_cast<uint8_t>(0x40 + j)};
      if (rows[j].keyLength)
        descs_[j].publicKey.assign(rows[j].keyBytes, rows[j].keyBytes + rows[j].keyLength);
      descs_[j].notBefore = FileTimeOf(2020, 1, 1);
      descs_[j].notAfter = FileTimeOf(2030, 1, 1);
    }
  }
  // Adds the four certificates (as descs_ now say) and makes them the chain,
  // as the engine reports a sound one: every signature verifies and the root
  // signed itself.
  void Build() {
    for (unsigned j = 0; j < 4; ++j) ids_[j] = sim::AddCertificate(descs_[j]);
    sim::SetChain(ids_[0], {true, 0, {{ids_[0], ids_[1], ids_[2], ids_[3]}}, {},
                            {{0, 0, 0, CERT_TRUST_IS_SELF_SIGNED}}});
  }
  DWORD JudgeLeaf(SignaturePolicy policy = kPolicyPinnedChain) {
    return Judge(sim::SignerOf(ids_[0]), {ids_[0], ids_[1], ids_[2], ids_[3]}, policy);
  }

  sim::CertDesc descs_[4];
  sim::CertId ids_[4] = {};
};

TEST_F(PinnedChainGateTest, TheFourPinnedCertificatesPass) {
  Build();
  EXPECT_EQ(JudgeLeaf(), 1u);
  EXPECT_EQ(lastError_, 0u);
  // Element j against row j, each name followed by its validity check.
  const std::vector<std::string> expected = {
      "CertGetNameStringW \"STP SDK - Code Signing Leaf (prod)\" 0x4 0x0",
      "CertVerifyTimeValidity now",
      "CertGetNameStringW \"STP SDK - Code Signing Zone All CA 01\" 0x4 0x0",
      "CertVerifyTimeValidity now",
      "CertGetNameStringW \"STP SDK - Code Signing L1 Intermediate CA 01\" 0x4 0x0",
      "CertVerifyTimeValidity now",
      "CertGetNameStringW \"STP Root CA 01\" 0x4 0x0",
      "CertVerifyTimeValidity now",
  };
  EXPECT_EQ(Lines({"CertGetNameStringW", "CertVerifyTimeValidity"}), expected);
  // The gate judges the certificate it is handed and looks for none.
  EXPECT_EQ(Count("CertFindCertificateInStore"), 0u);
  // The chain parameters carry their own width's size: 16 bytes 32-bit, 32 bytes 64-bit.
  EXPECT_EQ(Count(std::string("CertGetCertificateChain 0x1 \"STP SDK - Code Signing Leaf (prod)\" "
                              "time=now store=none para=") +
                  (sizeof(void*) == 4 ? "16" : "32") + "/0/0/no-ids flags=0x2104 reserved=none"),
            1u);
  EXPECT_EQ(Count("CertFreeCertificateChain"), 1u);
  EXPECT_EQ(sim::TrustCalls().size(), 1u);
}

// A signer without its record or without its proven certificate is refused
// before any gate is asked, whatever the rest would say.
TEST_F(PinnedChainGateTest, NoRecordOrNoCertificateIsRefusedBeforeAnyGate) {
  Build();
  EXPECT_EQ(Judge(sim::SignerOf(ids_[0]), {ids_[1], ids_[2], ids_[3]}, kPolicyPinnedChain), 0u);
  HCERTSTORE store = sim::internal::OpenStoreOf({ids_[0]});
  {
    crypt_world::SignerRecord record(sim::SignerOf(ids_[0]));
    CERT_INFO wanted = {};
    wanted.Issuer = record.get()->Issuer;
    wanted.SerialNumber = record.get()->SerialNumber;
    PCCERT_CONTEXT cert = CertFindCertificateInStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    ASSERT_NE(cert, nullptr);
    for (SignaturePolicy policy : {kPolicyPinnedChain, kPolicyNamedChains}) {
      EXPECT_EQ(VerifySigner(nullptr, cert, store, kLibrary, kHeldFile, policy), 0u) << policy;
    }
    CertFreeCertificateContext(cert);
  }
  CertCloseStore(store, 0);
  EXPECT_TRUE(sim::TrustCalls().empty());
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(PinnedChainGateTest, ChainShapesOtherThanOneChainOfFourAreRefusedUnread) {
  Build();
  const sim::CertId extra = sim::AddCertificate(crypt_world::Certificate("Extra", "Extra", {0x77}));
  struct Case {
    const char* label;
    sim::ChainDesc chain;
  };
  constexpr DWORD kSelf = CERT_TRUST_IS_SELF_SIGNED;
  // Each chain sound (every link verifies up to a self-signed top): only its
  // shape refuses it.
  const Case cases[] = {
      {"3 elements", {true, 0, {{ids_[0], ids_[1], ids_[2]}}, {}, {{0, 0, kSelf}}}},
      {"5 elements",
       {true, 0, {{ids_[0], ids_[1], ids_[2], ids_[3], extra}}, {}, {{0, 0, 0, 0, kSelf}}}},
      {"2 simple chains",
       {true, 0, {{ids_[0], ids_[1], ids_[2], ids_[3]}, {ids_[0], ids_[1], ids_[2], ids_[3]}}}},
      {"no simple chain", {true, 0, {}}},
  };
  for (const Case& c : cases) {
    sim::SetChain(ids_[0], c.chain);
    EXPECT_EQ(JudgeLeaf(), 0u) << c.label;
    EXPECT_EQ(Count("CertGetNameStringW"), 0u) << c.label;
    EXPECT_EQ(Count("CertFreeCertificateChain"), 1u) << c.label;
  }
  EXPECT_TRUE(sim::TrustCalls().empty());
}

TEST_F(PinnedChainGateTest, EveryLinkMustVerifyWhateverTheNamesAndKeys) {
  // The four pinned names and keys are public: a chain that matches them is
  // refused unless the engine found each signature valid up to a self-signed
  // top. Whether that top is trusted is the trust gate's question.
  constexpr DWORD kBadSignature = CERT_TRUST_IS_NOT_SIGNATURE_VALID;
  constexpr DWORD kSelf = CERT_TRUST_IS_SELF_SIGNED;
  struct Case {
    const char* label;
    std::vector<DWORD> errors;  // per element
    std::vector<DWORD> infos;   // per element
    DWORD chainError;           // the simple chain's own bits
    DWORD error;                // the refusal's last error; 0: accepted
  };
  const Case cases[] = {
      {"leaf signature invalid", {kBadSignature, 0, 0, 0}, {0, 0, 0, kSelf}, 0,
       static_cast<DWORD>(TRUST_E_CERT_SIGNATURE)},
      // A forged zone CA under the genuine L1 and root.
      {"zone CA signature invalid", {0, kBadSignature, 0, CERT_TRUST_IS_UNTRUSTED_ROOT},
       {0, 0, 0, kSelf}, 0, static_cast<DWORD>(TRUST_E_CERT_SIGNATURE)},
      {"root self-signature invalid", {0, 0, 0, kBadSignature}, {0, 0, 0, kSelf}, 0,
       static_cast<DWORD>(TRUST_E_CERT_SIGNATURE)},
      {"partial chain", {0, 0, 0, 0}, {0, 0, 0, kSelf}, CERT_TRUST_IS_PARTIAL_CHAIN,
       static_cast<DWORD>(CERT_E_CHAINING)},
      {"cyclic", {0, 0, 0, CERT_TRUST_IS_CYCLIC}, {0, 0, 0, kSelf}, 0,
       static_cast<DWORD>(CERT_E_CHAINING)},
      {"top not self-signed", {0, 0, 0, 0}, {0, 0, 0, CERT_TRUST_HAS_KEY_MATCH_ISSUER}, 0,
       static_cast<DWORD>(CERT_E_CHAINING)},
      {"self-signed below the top only", {0, 0, 0, 0}, {0, 0, kSelf, 0}, 0,
       static_cast<DWORD>(CERT_E_CHAINING)},
      // Trust, revocation and usage are not this gate's to judge.
      {"untrusted root, revocation unknown",
       {0, CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 0, CERT_TRUST_IS_UNTRUSTED_ROOT},
       {CERT_TRUST_HAS_KEY_MATCH_ISSUER, 0, 0, kSelf | CERT_TRUST_HAS_NAME_MATCH_ISSUER},
       CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    Build();
    sim::SetChain(ids_[0], {true, 0, {{ids_[0], ids_[1], ids_[2], ids_[3]}}, {c.errors},
                            {c.infos}, {c.chainError}});
    EXPECT_EQ(JudgeLeaf(), c.error == 0 ? 1u : 0u) << c.label;
    EXPECT_EQ(lastError_, c.error) << c.label;
    const std::vector<DWORD> told =
        c.error == 0 ? std::vector<DWORD>{}
        : c.error == static_cast<DWORD>(CERT_E_CHAINING) ? std::vector<DWORD>{kRefusalNotSelfSigned}
                                                         : std::vector<DWORD>{kRefusalForgedLink};
    EXPECT_EQ(refusals_, told) << c.label;
    EXPECT_EQ(Count("CertFreeCertificateChain"), 1u) << c.label;
    EXPECT_EQ(sim::TrustCalls().size(), c.error == 0 ? 1u : 0u) << c.label;
  }
}

TEST_F(PinnedChainGateTest, AChainThatDoesNotBuildKeepsTheEnginesError) {
  Build();
  sim::SetChain(ids_[0], {false, static_cast<DWORD>(CERT_E_CHAINING), {}});
  EXPECT_EQ(JudgeLeaf(), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(CERT_E_CHAINING));
  EXPECT_EQ(Count("CertGetNameStringW"), 0u);
  EXPECT_TRUE(sim::TrustCalls().empty());
  // Nor does one that is said to build but hands over no context.
  sim::ChainDesc noContext;
  noContext.gap = sim::ChainDesc::Gap::kNoContext;
  sim::SetChain(ids_[0], noContext);
  EXPECT_EQ(JudgeLeaf(), 0u);
  EXPECT_EQ(refusals_, std::vector<DWORD>{kRefusalPinnedMismatch});
}

TEST_F(PinnedChainGateTest, AMismatchStopsTheWalkAtThatElement) {
  struct Case {
    const char* label;
    unsigned element;
    std::string subject;  // empty: keep
    int flipKeyByte;      // -1: keep the key
    size_t namesRead;     // elements compared before the refusal, that one included
  };
  const Case cases[] = {
      {"leaf in lower case", 0, "stp sdk - code signing leaf (prod)", -1, 1},
      {"element 1 another name", 1, "STP SDK - Code Signing Zone All CA 02", -1, 2},
      {"L1 key one byte off", 2, "", 300, 3},
      {"root key one byte off", 3, "", 525, 4},
      {"root name with a trailing blank", 3, "STP Root CA 01 ", -1, 4},
  };
  for (const Case& c : cases) {
    SetUp();
    if (!c.subject.empty()) descs_[c.element].subject = c.subject;
    if (c.flipKeyByte >= 0) descs_[c.element].publicKey[c.flipKeyByte] ^= 0x80;
    Build();
    EXPECT_EQ(JudgeLeaf(), 0u) << c.label;
    EXPECT_EQ(Count("CertGetNameStringW"), c.namesRead) << c.label;
    EXPECT_EQ(refusals_, std::vector<DWORD>{kRefusalPinnedMismatch}) << c.label;
    EXPECT_TRUE(sim::TrustCalls().empty()) << c.label;
  }
}

TEST_F(PinnedChainGateTest, EveryElementMustBeValidNowWhateverTheSigningTime) {
  const uint64_t now = FileTimeOf(2025, 6, 1);
  for (unsigned element = 0; element < 4; ++element) {
    for (bool expired : {true, false}) {
      SetUp();
      if (expired) {
        descs_[element].notAfter = now - kTicksPerSecond;
      } else {
        descs_[element].notBefore = now + kTicksPerSecond;
      }
      Build();
      // A signing time and a time-stamp from inside the validity period do
      // not rescue a certificate that is not valid now.
      sim::SignerDesc signer = sim::SignerOf(ids_[0]);
      signer.authAttrs = {SigningTimeAttr(FileTimeOf(2024, 1, 1))};
      signer.unauthAttrs = {TimestampAttr(TimestampToken("20240101000000Z"))};
      EXPECT_EQ(Judge(signer, {ids_[0], ids_[1], ids_[2], ids_[3]}, kPolicyPinnedChain), 0u)
          << "element " << element << (expired ? " expired" : " not yet valid");
      EXPECT_EQ(Count("CertVerifyTimeValidity"), element + 1) << "element " << element;
      EXPECT_TRUE(sim::TrustCalls().empty());
    }
  }
}

TEST_F(PinnedChainGateTest, ASignerMissingFromTheStoreIsRefusedWithTheLookupsError) {
  Build();
  sim::SignerDesc signer = sim::SignerOf(ids_[0]);
  signer.serial = {0x99};
  EXPECT_EQ(Judge(signer, {ids_[0], ids_[1], ids_[2], ids_[3]}, kPolicyPinnedChain), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(Count("CertGetCertificateChain"), 0u);
}

TEST_F(PinnedChainGateTest, OtherPoliciesLeaveOnlyTheTrustGate) {
  // A chain that the pinned gate would refuse: for policies 0 and 3 it is
  // never built, and the verdict alone decides.
  descs_[1].subject = "Not Pinned";
  Build();
  for (SignaturePolicy policy : {SignaturePolicy{0}, SignaturePolicy{3}}) {
    sim::SetTrustVerdict(kLibrary, 0);
    EXPECT_EQ(JudgeLeaf(policy), 1u) << policy;
    EXPECT_EQ(lastError_, 0u);
    sim::SetTrustVerdict(kLibrary, TRUST_E_BAD_DIGEST);
    EXPECT_EQ(JudgeLeaf(policy), 0u) << policy;
    EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    // Success is exactly 0: a positive status is not success either.
    sim::SetTrustVerdict(kLibrary, 1);
    EXPECT_EQ(JudgeLeaf(policy), 0u) << policy;
    EXPECT_EQ(Count("CertGetCertificateChain"), 0u);
    EXPECT_EQ(Count("CertGetNameStringW"), 0u);
    EXPECT_EQ(Count("CryptDecodeObjectEx"), 0u);
  }
  EXPECT_EQ(sim::TrustCalls().size(), 6u);
}

// ------------------------------------------------------------------ trust gate

TEST_F(PinnedChainGateTest, WinVerifyTrustIsHandedExactlyThisRequest) {
  Build();
  ASSERT_EQ(JudgeLeaf(), 1u);
  ASSERT_EQ(sim::TrustCalls().size(), 1u);
  const sim::TrustCall& call = sim::TrustCalls()[0];
  const GUID genericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  EXPECT_TRUE(call.windowIsInvalidHandle);
  EXPECT_EQ(std::memcmp(&call.action, &genericVerifyV2, sizeof genericVerifyV2), 0);
  EXPECT_EQ(call.data.cbStruct, sizeof(void*) == 4 ? 52u : 88u);  // each width its own
  EXPECT_EQ(call.data.pPolicyCallbackData, nullptr);
  EXPECT_EQ(call.data.pSIPClientData, nullptr);
  EXPECT_EQ(call.data.dwUIChoice, static_cast<DWORD>(WTD_UI_NONE));
  EXPECT_EQ(call.data.fdwRevocationChecks, static_cast<DWORD>(WTD_REVOKE_WHOLECHAIN));
  EXPECT_EQ(call.data.dwUnionChoice, static_cast<DWORD>(WTD_CHOICE_FILE));
  EXPECT_NE(call.data.pFile, nullptr);
  EXPECT_EQ(call.data.dwStateAction, static_cast<DWORD>(WTD_STATEACTION_IGNORE));
  EXPECT_EQ(call.data.hWVTStateData, nullptr);
  EXPECT_EQ(call.data.pwszURLReference, nullptr);
  EXPECT_EQ(call.data.dwProvFlags, static_cast<DWORD>(WTD_CACHE_ONLY_URL_RETRIEVAL));
  EXPECT_EQ(call.data.dwUIContext, 0u);
  EXPECT_EQ(call.data.pSignatureSettings, nullptr);
  EXPECT_EQ(call.file.cbStruct, sizeof(void*) == 4 ? 16u : 32u);
  EXPECT_EQ(call.path, kLibrary);
  // The handle the load holds goes beside the path, so that the provider
  // reads the held bytes where it reads through it.
  EXPECT_EQ(call.file.hFile, kHeldFile);
  EXPECT_EQ(call.file.pgKnownSubject, nullptr);
}

TEST_F(PinnedChainGateTest, ATrustRefusalIsTheResultAndTheLastError) {
  Build();
  sim::SetTrustVerdict(kLibrary, CERT_E_UNTRUSTEDROOT);
  EXPECT_EQ(JudgeLeaf(), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT));
  EXPECT_EQ(refusals_, std::vector<DWORD>{kRefusalTrustVerdict});
}

TEST_F(PinnedChainGateTest, MissingWintrustIsRetriedOnTheNextCall) {
  Build();
  sim::FailSystemModule("wintrust.dll", ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(JudgeLeaf(), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(g_systemLibraryCache.wintrust, nullptr);
  EXPECT_TRUE(sim::TrustCalls().empty());
  // No export is looked up without the module: a null module means the exe's own.
  EXPECT_EQ(Count("GetProcAddress"), 0u);

  sim::RestoreSystemModule("wintrust.dll");
  EXPECT_EQ(JudgeLeaf(), 1u);
  EXPECT_NE(g_systemLibraryCache.wintrust, nullptr);
  EXPECT_NE(g_winVerifyTrust, nullptr);

  // Both are kept: a third call loads and looks up nothing.
  EXPECT_EQ(JudgeLeaf(), 1u);
  EXPECT_EQ(Count("LoadLibraryExW"), 0u);
  EXPECT_EQ(Count("GetProcAddress"), 0u);
}

TEST_F(PinnedChainGateTest, AMissingWinVerifyTrustExportIsRetriedToo) {
  Build();
  sim::HideSystemExport("wintrust.dll", "WinVerifyTrust");
  // A load failure that leaves some other error must still report 126.
  EXPECT_EQ(JudgeLeaf(), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(g_systemLibraryCache.wintrust, nullptr);
  EXPECT_EQ(g_winVerifyTrust, nullptr);

  sim::SetSystemExport("wintrust.dll", "WinVerifyTrust",
                       reinterpret_cast<void*>(&::WinVerifyTrust));
  EXPECT_EQ(JudgeLeaf(), 1u);
  EXPECT_EQ(Count("LoadLibraryExW"), 0u);
  EXPECT_EQ(Count("GetProcAddress wintrust.dll WinVerifyTrust"), 1u);
}

// ------------------------------------------------------------------ named chains and time

class NamedChainsGateTest : public VerifySignerTest {
 protected:
  void SetUp() override {
    VerifySignerTest::SetUp();
    leaf_ = sim::AddCertificate(crypt_world::Certificate(kKorvex, kSentrix, {0x01}));
    ca_ = sim::AddCertificate(crypt_world::Certificate(kSentrix, kG5, {0x02}));
    stamper_ =
        sim::AddCertificate(crypt_world::Certificate(kTimeStamper, "Time Stamping CA", {0x03}));
  }

  sim::SignerDesc Signer(std::vector<sim::AttributeDesc> auth,
                         std::vector<sim::AttributeDesc> unauth) const {
    sim::SignerDesc signer = sim::SignerOf(leaf_);
    signer.authAttrs = std::move(auth);
    signer.unauthAttrs = std::move(unauth);
    return signer;
  }
  // A counter-signature by the time stamper, with this signing time (none
  // when absent).
  sim::AttributeDesc CounterSignature(const uint64_t* time, sim::CertId by = -1) const {
    sim::SignerDesc counter = sim::SignerOf(by < 0 ? stamper_ : by);
    if (time != nullptr) counter.authAttrs = {SigningTimeAttr(*time)};
    return {szOID_RSA_counterSign, {sim::EncodeCounterSignature(counter)}};
  }
  sim::AttributeDesc CounterSignedAt(uint64_t time, sim::CertId by = -1) const {
    return CounterSignature(&time, by);
  }
  DWORD JudgeNamed(const sim::SignerDesc& signer, void (*shape)(CMSG_SIGNER_INFO&) = nullptr) {
    return Judge(signer, {leaf_, ca_, stamper_}, kPolicyNamedChains, shape);
  }

  sim::CertId leaf_ = 0, ca_ = 0, stamper_ = 0;
};

const uint64_t kC = FileTimeOf(2020, 1, 31, 12, 34, 56);

TEST_F(NamedChainsGateTest, CounterSignatureAdmitsTwoSecondsAfterItsTime) {
  struct Case {
    const char* label;
    uint64_t s;
    DWORD accepted;
  };
  const Case cases[] = {
      {"S = C + 2 s", kC + 20000000, 1},
      {"S = C + 2 s + 100 ns", kC + 20000001, 0},
      {"S = C", kC, 1},
      {"S a year before C", kC - 365 * 86400 * kTicksPerSecond, 1},
      {"S = 1", 1, 1},
  };
  for (const Case& c : cases) {
    const size_t trustCalls = sim::TrustCalls().size();
    const DWORD result = JudgeNamed(Signer({SigningTimeAttr(c.s)}, {CounterSignedAt(kC)}));
    EXPECT_EQ(result, c.accepted) << c.label;
    EXPECT_EQ(lastError_, c.accepted ? 0u : static_cast<DWORD>(TRUST_E_TIME_STAMP)) << c.label;
    EXPECT_EQ(sim::TrustCalls().size() - trustCalls, c.accepted) << c.label;
  }
}

TEST_F(NamedChainsGateTest, WithoutASigningTimeSIsZero) {
  // No signing time: any counter-signature with a time, or any time-stamp
  // with a genTime, is late enough.
  EXPECT_EQ(JudgeNamed(Signer({}, {CounterSignedAt(FileTimeOf(1601, 1, 1, 0, 0, 1))})), 1u);
  EXPECT_EQ(JudgeNamed(Signer({}, {TimestampAttr(TimestampToken("16010101000000Z"))})), 1u);
  // A signing time that does not decode counts as none.
  const sim::AttributeDesc broken{szOID_RSA_signingTime, {{0x17, 0x01, 0x30}}};
  EXPECT_EQ(JudgeNamed(Signer({broken}, {CounterSignedAt(1)})), 1u);
}

TEST_F(NamedChainsGateTest, OnlyTheFirstSigningTimeCounts) {
  const sim::SignerDesc signer = Signer(
      {SigningTimeAttr(kC + 3 * kTicksPerSecond), SigningTimeAttr(kC)}, {CounterSignedAt(kC)});
  EXPECT_EQ(JudgeNamed(signer), 0u);
  // Other attributes are passed over, whether their identifiers sort before or
  // after the one looked for: Authenticode's publisher information before the
  // signing time, a CMS time-stamp token before the counter-signature.
  const sim::AttributeDesc opus{"1.3.6.1.4.1.311.2.1.12", {{0x30, 0x00}}};
  const sim::AttributeDesc cmsToken{"1.2.840.113549.1.9.16.2.14", {{0x30, 0x00}}};
  EXPECT_EQ(
      JudgeNamed(Signer({opus, SigningTimeAttr(kC + 3 * kTicksPerSecond)}, {CounterSignedAt(kC)})),
      0u);
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {cmsToken, CounterSignedAt(kC)})), 1u);
}

TEST_F(NamedChainsGateTest, ACounterSignerWithoutSigningTimeIsPassedOver) {
  const sim::AttributeDesc untimed = CounterSignature(nullptr);
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {untimed})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_TIME_STAMP));
  // Nor when the signer has no signing time either (S = 0), which any time
  // would admit.
  EXPECT_EQ(JudgeNamed(Signer({}, {untimed})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_TIME_STAMP));
  // The walk goes on to the next counter-signature.
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {untimed, CounterSignedAt(kC)})), 1u);
  EXPECT_EQ(Count("CryptDecodeObjectEx 0x10001 500"), 2u);
  // A counter-signer's signing time that does not decode is no time either.
  sim::SignerDesc badTime = sim::SignerOf(stamper_);
  badTime.authAttrs = {{szOID_RSA_signingTime, {{0x17, 0x01, 0x30}}}};
  const sim::AttributeDesc undecodable{szOID_RSA_counterSign,
                                       {sim::EncodeCounterSignature(badTime)}};
  EXPECT_EQ(JudgeNamed(Signer({}, {undecodable})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

TEST_F(NamedChainsGateTest, AFailedCounterSignatureEndsTheWalkAndTheTimestampIsTried) {
  const sim::AttributeDesc undecodable{szOID_RSA_counterSign, {{0x30, 0x03, 0x02, 0x01}}};
  const sim::CertId stranger =
      sim::AddCertificate(crypt_world::Certificate("Not In Store", "Nobody", {0x09}));
  const sim::AttributeDesc unknownSigner = CounterSignedAt(kC, stranger);
  const sim::AttributeDesc token = TimestampAttr(TimestampToken("20200131123456Z"));
  struct Case {
    const char* label;
    sim::AttributeDesc first;
    DWORD errorWithoutToken;  // what the failing step left
  };
  const Case cases[] = {
      {"first counter-signature undecodable", undecodable, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"counter-signer not in the store", unknownSigner, static_cast<DWORD>(CRYPT_E_NOT_FOUND)},
  };
  for (const Case& c : cases) {
    // A good counter-signature after the failed one is never reached.
    EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {c.first, CounterSignedAt(kC)})), 0u)
        << c.label;
    EXPECT_EQ(lastError_, c.errorWithoutToken) << c.label;
    EXPECT_EQ(Count("CryptDecodeObjectEx 0x10001 500"), 1u) << c.label;
    // With a time-stamp behind them, the time-stamp decides.
    EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {c.first, CounterSignedAt(kC), token})), 1u)
        << c.label;
    EXPECT_EQ(Count("CryptDecodeObjectEx 0x10001 33"), 1u) << c.label;
  }
}

TEST_F(NamedChainsGateTest, TimestampComparesDecimalTimes) {
  struct Case {
    const char* label;
    const char* genTime;
    uint64_t s;
    DWORD accepted;
  };
  const Case cases[] = {
      {"same second", "20200131123459Z", FileTimeOf(2020, 1, 31, 12, 34, 59), 1},
      {"a second earlier", "20200131123459Z", FileTimeOf(2020, 1, 31, 12, 34, 58), 1},
      {"a year earlier", "20200131123459Z", FileTimeOf(2019, 1, 31, 12, 34, 59), 1},
      // D = 20200131123500 is above T + 2 = 20200131123461: one second
      // after genTime, but in the next minute.
      {"next minute", "20200131123459Z", FileTimeOf(2020, 1, 31, 12, 35, 0), 0},
      {"two seconds after, same minute", "20200131123430Z", FileTimeOf(2020, 1, 31, 12, 34, 32), 1},
      {"three seconds after", "20200131123430Z", FileTimeOf(2020, 1, 31, 12, 34, 33), 0},
      // Milliseconds take no part in D.
      {"two seconds and 0.999 after", "20200131123430Z",
       FileTimeOf(2020, 1, 31, 12, 34, 32) + 9999999, 1},
      // The fraction of genTime does not change T.
      {"fractional genTime", "20200131123430.9Z", FileTimeOf(2020, 1, 31, 12, 34, 32), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        JudgeNamed(Signer({SigningTimeAttr(c.s)}, {TimestampAttr(TimestampToken(c.genTime))})),
        c.accepted)
        << c.label;
    EXPECT_EQ(lastError_, c.accepted ? 0u : static_cast<DWORD>(TRUST_E_TIME_STAMP)) << c.label;
  }
}

TEST_F(NamedChainsGateTest, OnlyTheFirstTimestampAttributeIsRead) {
  const sim::AttributeDesc good = TimestampAttr(TimestampToken("20200131123459Z"));
  const sim::AttributeDesc timeless = TimestampAttr(TokenWithoutTime());
  const sim::AttributeDesc undecodable{szOID_RFC3161_counterSign, {{0x04, 0x01, 0x00}}};
  const uint64_t s = FileTimeOf(2020, 1, 31, 12, 0, 0);
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(s)}, {timeless, good})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_TIME_STAMP));
  EXPECT_EQ(Count("CryptDecodeObjectEx 0x10001 33"), 1u);
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(s)}, {undecodable, good})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(Count("CryptDecodeObjectEx 0x10001 33"), 1u);
}

TEST_F(NamedChainsGateTest, NoCounterSignatureAndNoTimestampIsATimeStampError) {
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_TIME_STAMP));
  EXPECT_EQ(refusals_, std::vector<DWORD>{kRefusalTimestamp});
  EXPECT_TRUE(sim::TrustCalls().empty());
}

TEST_F(NamedChainsGateTest, AttributesWithoutValuesCountAsAbsent) {
  const sim::AttributeDesc emptyTime{szOID_RSA_signingTime, {}};
  const sim::AttributeDesc emptyCounter{szOID_RSA_counterSign, {}};
  const sim::AttributeDesc emptyToken{szOID_RFC3161_counterSign, {}};
  const uint64_t late = kC + 3 * kTicksPerSecond;
  // The signing time after the empty one is the signer's: too late here...
  EXPECT_EQ(JudgeNamed(Signer({emptyTime, SigningTimeAttr(late)}, {CounterSignedAt(kC)})), 0u);
  // ...and in time here.
  EXPECT_EQ(JudgeNamed(Signer({emptyTime, SigningTimeAttr(kC)}, {CounterSignedAt(kC)})), 1u);
  // An empty counter-signature neither ends the walk nor is accepted.
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {emptyCounter, CounterSignedAt(kC)})), 1u);
  // The time-stamp after an empty one is the first one.
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)},
                              {emptyToken, TimestampAttr(TimestampToken("20200131123456Z"))})),
            1u);
  // Nor is one that counts a value but has no value table to hold it.
  auto noTable = [](CMSG_SIGNER_INFO& record) {
    record.AuthAttrs.rgAttr[0].rgValue = nullptr;
    record.UnauthAttrs.rgAttr[0].rgValue = nullptr;
  };
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(late), SigningTimeAttr(kC)},
                              {CounterSignedAt(late), CounterSignedAt(kC)}),
                       noTable),
            1u);
}

TEST_F(NamedChainsGateTest, ASignerOutsideTheNameChainsIsRefusedWithNoError) {
  const sim::CertId other =
      sim::AddCertificate(crypt_world::Certificate("Korvex corporation", kSentrix, {0x05}));
  sim::SignerDesc signer = sim::SignerOf(other);
  signer.authAttrs = {SigningTimeAttr(kC)};
  signer.unauthAttrs = {CounterSignedAt(kC)};
  EXPECT_EQ(Judge(signer, {other, ca_, stamper_}, kPolicyNamedChains), 0u);
  EXPECT_EQ(lastError_, 0u);
  EXPECT_EQ(refusals_, std::vector<DWORD>{kRefusalNameChains});
  EXPECT_EQ(Count("CryptDecodeObjectEx"), 0u);
  EXPECT_TRUE(sim::TrustCalls().empty());
}

TEST_F(NamedChainsGateTest, AnAcceptedSignerStillNeedsTheTrustVerdict) {
  sim::SetTrustVerdict(kLibrary, TRUST_E_NOSIGNATURE);
  EXPECT_EQ(JudgeNamed(Signer({SigningTimeAttr(kC)}, {CounterSignedAt(kC)})), 0u);
  EXPECT_EQ(lastError_, static_cast<DWORD>(TRUST_E_NOSIGNATURE));
  ASSERT_EQ(sim::TrustCalls().size(), 1u);
  EXPECT_EQ(sim::TrustCalls()[0].path, kLibrary);
}

}  // namespace
