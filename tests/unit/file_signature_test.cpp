// The embedded-signature check: the crypt32 table and the trust libraries, the
// outcomes and their last-error values, and the walk over nested signatures
// with its header test and 8-byte step.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_msg_control.h"
#include "secureload/crypto_api.h"
#include "secureload/file_signature.h"
#include "secureload/nested_binding.h"
#include "secureload/system_library.h"
#include "tests/support/process_state.h"
#include "tests/unit/nested_binding_double.h"
#include "tests/unit/verify_signer_double.h"

namespace {

const std::wstring kFile = L"C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\STP32.dll";
constexpr SignaturePolicy kPolicy = 7;  // handed through, never looked at here
// The loader's handle on the file, handed through to the nested signature's proofs.
const HANDLE kHeldFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4C0));

using Serial = std::vector<uint8_t>;
const Serial kPrimary{0x01};
const Serial kFirst{0x10};
const Serial kSecond{0x20};
const Serial kThird{0x30};

const char* const kTableOrder[kCryptoApiSlotCount] = {
    "CryptMsgClose",        "CertCloseStore",
    "CertFreeCertificateContext", "CertFindCertificateInStore",
    "CryptMsgGetParam",     "CryptQueryObject",
    "CertGetNameStringW",   "CryptMsgOpenToDecode",
    "CryptMsgUpdate",       "CryptDecodeObjectEx",
    "CertGetIssuerCertificateFromStore", "CertOpenStore",
    "CertGetCertificateChain", "CertFreeCertificateChain",
    "CertVerifyTimeValidity"};

sim::SignerDesc Signer(const Serial& serial, std::vector<sim::AttributeDesc> unauth = {}) {
  return sim::SignerDesc{"Test Signing CA", serial, {}, std::move(unauth)};
}

// Signed by a certificate the signature carries, as a signer's is.
sim::SignatureDesc Signature(const Serial& serial, std::vector<sim::AttributeDesc> unauth = {}) {
  sim::CertDesc desc;
  desc.subject = "Test Signer";
  desc.issuer = "Test Signing CA";
  desc.serial = serial;
  const sim::CertId cert = sim::AddCertificate(desc);
  return sim::SignatureDesc{{cert}, Signer(serial, std::move(unauth))};
}

std::vector<uint8_t> Nested(const Serial& serial) {
  return sim::EncodeNestedSignature(Signature(serial));
}

// A nested signature whose signer's chain, built from the signer alone, is
// then shaped as the engine gives it.
std::vector<uint8_t> NestedWithChain(const Serial& serial, void (*shape)(sim::ChainDesc&)) {
  sim::SignatureDesc signature = Signature(serial);
  sim::ChainDesc chain;
  chain.simpleChains = {{signature.certs[0]}};
  shape(chain);
  sim::SetChain(signature.certs[0], chain);
  return sim::EncodeNestedSignature(signature);
}

sim::AttributeDesc NestedAttribute(std::vector<std::vector<uint8_t>> values) {
  return sim::AttributeDesc{szOID_NESTED_SIGNATURE, std::move(values)};
}

// The file signed by kPrimary, carrying these unauthenticated attributes.
void SignWith(std::vector<sim::AttributeDesc> unauth) {
  sim::SignFile(kFile, Signature(kPrimary, std::move(unauth)));
}

std::vector<std::string> TraceWith(const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : sim::Trace()) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Lookups(unsigned from, unsigned to) {
  std::vector<std::string> lines;
  for (unsigned i = from; i <= to; ++i) {
    lines.push_back(std::string("GetProcAddress crypt32.dll ") + kTableOrder[i - 1]);
  }
  return lines;
}

BOOL WINAPI StandInDecode(DWORD, LPCSTR, const BYTE*, DWORD, DWORD, PCRYPT_DECODE_PARA, void*,
                          DWORD*) {
  return FALSE;
}

class FileSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    g_signerDouble = SignerDouble{};
    g_bindingDouble = BindingDouble{};
    sim::AddFile(kFile, {0x4D, 0x5A});
  }

  // One call; the outcome and what the caller reads right after it.
  struct Outcome {
    DWORD result;
    DWORD error;
  };
  Outcome Verify() {
    observed_.clear();
    const VerifyObserver observer{&Record, &observed_};
    LoadContext context;
    context.file = kHeldFile;
    context.observer = &observer;
    const DWORD result = VerifyFileSignature(kFile.c_str(), context, kPolicy);
    return {result, GetLastError()};
  }

  // What the observer heard of the nested candidates: binding, verdict, error.
  std::vector<std::tuple<DWORD, DWORD, DWORD>> NestedHeard() const {
    std::vector<std::tuple<DWORD, DWORD, DWORD>> heard;
    for (const ObservedEvent& e : observed_) {
      if (e.step == kObservedNestedSigner) heard.emplace_back(e.binding, e.verdict, e.error);
    }
    return heard;
  }

  // The steps heard other than the signers judged, each with its error.
  std::vector<std::pair<DWORD, DWORD>> OtherStepsHeard() const {
    std::vector<std::pair<DWORD, DWORD>> heard;
    for (const ObservedEvent& e : observed_) {
      if (e.step != kObservedPrimarySigner && e.step != kObservedNestedSigner) {
        heard.emplace_back(e.step, e.step == kObservedRefusal ? e.verdict : e.error);
      }
    }
    return heard;
  }

  static void Record(void* context, const ObservedEvent& event) {
    static_cast<std::vector<ObservedEvent>*>(context)->push_back(event);
  }
  std::vector<ObservedEvent> observed_;
};

using Heard = std::vector<std::tuple<DWORD, DWORD, DWORD>>;

#define EXPECT_OUTCOME(call, expectedResult, expectedError)           \
  do {                                                               \
    const auto outcome_ = (call);                                    \
    EXPECT_EQ(outcome_.result, static_cast<DWORD>(expectedResult));  \
    EXPECT_EQ(outcome_.error, static_cast<DWORD>(expectedError));    \
  } while (0)

TEST_F(FileSignatureTest, EachOutcomeHasItsLastError) {
  struct Case {
    const char* label;
    std::function<void()> arrange;
    DWORD result;
    DWORD error;
    DWORD stopped = 0;  // the step the observer hears ended the call, with the error
    DWORD refusal = 0;  // the refusal the signer proof tells
  };
  const std::vector<Case> cases = {
      {"directory", [] { sim::RemoveFile(kFile); sim::AddDirectory(kFile); }, 0,
       ERROR_FILE_NOT_FOUND},
      {"device", [] { sim::RemoveFile(kFile); sim::AddDevice(kFile); }, 0, ERROR_FILE_NOT_FOUND},
      {"no such file", [] { sim::RemoveFile(kFile); }, 0, ERROR_FILE_NOT_FOUND},
      // The loader's own reason is replaced: the caller only learns "missing".
      {"crypt32 does not load", [] { sim::FailSystemModule("crypt32.dll", ERROR_ACCESS_DENIED); },
       0, ERROR_MOD_NOT_FOUND, kObservedTrustLibrariesMissing},
      // The lookup leaves 127; the call reports 126 all the same.
      {"an export is missing",
       [] { sim::HideSystemExport("crypt32.dll", "CertVerifyTimeValidity"); }, 0,
       ERROR_MOD_NOT_FOUND, kObservedTrustLibrariesMissing},
      {"cryptnet missing", [] { sim::FailSystemModule("cryptnet.dll", ERROR_MOD_NOT_FOUND); }, 0,
       ERROR_MOD_NOT_FOUND, kObservedTrustLibrariesMissing},
      {"unsigned file", [] {}, 0, static_cast<DWORD>(CRYPT_E_NO_MATCH), kObservedNoSignature},
      {"query refuses the file",
       [] {
         SignWith({});
         sim::FailMessageOperation(sim::MsgFailure::kQueryObject, 1, ERROR_SHARING_VIOLATION);
       },
       0, ERROR_SHARING_VIOLATION, kObservedNoSignature},
      {"size query fails",
       [] {
         SignWith({});
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoSize, 1, CRYPT_E_BAD_ENCODE);
       },
       0, static_cast<DWORD>(CRYPT_E_BAD_ENCODE), kObservedSignerUnreadable},
      {"size query reports 0",
       [] {
         SignWith({});
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoZero, 1, ERROR_INVALID_PARAMETER);
       },
       0, ERROR_INVALID_PARAMETER, kObservedSignerUnreadable},
      {"record cannot be allocated",
       [] {
         SignWith({});
         sim::FailLocalAllocation(1);
       },
       0, ERROR_NOT_ENOUGH_MEMORY, kObservedSignerUnreadable},
      {"record cannot be filled",
       [] {
         SignWith({});
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoFill, 1, CRYPT_E_ASN1_BADTAG);
       },
       0, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), kObservedSignerUnreadable},
      {"primary accepted",
       [] {
         SignWith({});
         g_signerDouble.accepted = {kPrimary};
       },
       1, 0},
      {"primary refused, no nested signature", [] { SignWith({}); }, 0, 0},
      // The gates would accept the signer; its certificate must have made the signature.
      {"primary signature does not verify with the signer's certificate",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         signature.signatureValid = false;
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       0, 0, 0, kRefusalSignatureUnverified},
      // A signing pipeline may carry the leaf twice: the same bytes are one
      // certificate. Another certificate under its issuer and serial is not.
      {"the primary signer's certificate carried twice",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         signature.certs.push_back(Signature(kPrimary).certs[0]);
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       1, 0},
      // Twins as long as the certificate, whose bytes sort before it and after it.
      {"another certificate with the primary signer's issuer and serial, ending sooner",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         sim::CertDesc twin = sim::CertificateDesc(signature.certs[0]);
         twin.notAfter -= 1;
         signature.certs.push_back(sim::AddCertificate(twin));
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       0, 0, 0, kRefusalSignerTwin},
      {"another certificate with the primary signer's issuer and serial, starting later",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         sim::CertDesc twin = sim::CertificateDesc(signature.certs[0]);
         twin.notBefore += 1;
         signature.certs.push_back(sim::AddCertificate(twin));
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       0, 0, 0, kRefusalSignerTwin},
      // A longer twin: compared within its own length, never past the other's.
      {"another certificate with the primary signer's issuer and serial, a byte longer",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         sim::CertDesc twin = sim::CertificateDesc(signature.certs[0]);
         twin.publicKey.push_back(0x00);
         signature.certs.push_back(sim::AddCertificate(twin));
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       0, 0, 0, kRefusalSignerTwin},
      {"the primary signer's certificate not carried",
       [] {
         sim::SignatureDesc signature = Signature(kPrimary);
         signature.certs.clear();
         sim::SignFile(kFile, signature);
         g_signerDouble.accepted = {kPrimary};
       },
       0, 0, 0, kRefusalNoSignerCertificate},
      // Without the entry point that verifies it, the primary signature counts as not verified.
      {"crypt32 cannot verify the primary signature",
       [] {
         SignWith({});
         g_signerDouble.accepted = {kPrimary};
         sim::HideSystemExport("crypt32.dll", "CryptMsgControl");
       },
       0, 0},
      {"nested signer accepted",
       [] {
         SignWith({NestedAttribute({Nested(kFirst)})});
         g_signerDouble.accepted = {kFirst};
       },
       1, 0},
      // A proof that says bound but hands over no certificate or no chain
      // proves nothing: the gates are never asked.
      {"nested signer bound without its certificate",
       [] {
         SignWith({NestedAttribute({Nested(kFirst)})});
         g_signerDouble.accepted = {kFirst};
         g_bindingDouble.withoutCertificate = true;
       },
       0, 0},
      {"nested signer bound without its chain",
       [] {
         SignWith({NestedAttribute({Nested(kFirst)})});
         g_signerDouble.accepted = {kFirst};
         g_bindingDouble.withoutChain = true;
       },
       0, 0},
      // The gates judge the one simple chain of the context that was handed over.
      {"nested signer bound with two simple chains",
       [] {
         SignWith({NestedAttribute({NestedWithChain(
             kFirst, [](sim::ChainDesc& c) { c.simpleChains.push_back(c.simpleChains[0]); })})});
         g_signerDouble.accepted = {kFirst};
       },
       0, 0},
      {"nested signer bound with a chain that counts no simple chain",
       [] {
         SignWith({NestedAttribute(
             {NestedWithChain(kFirst, [](sim::ChainDesc& c) { c.countedChains = 0; })})});
         g_signerDouble.accepted = {kFirst};
       },
       0, 0},
      {"nested signer bound with a chain without its table of simple chains",
       [] {
         SignWith({NestedAttribute({NestedWithChain(
             kFirst, [](sim::ChainDesc& c) { c.gap = sim::ChainDesc::Gap::kNoTable; })})});
         g_signerDouble.accepted = {kFirst};
       },
       0, 0},
      {"every nested signer refused",
       [] { SignWith({NestedAttribute({Nested(kFirst), Nested(kSecond)})}); }, 0, 0},
      // Treated as absent rather than read through.
      {"nested attribute without values", [] { SignWith({NestedAttribute({})}); }, 0, 0},
      // A later candidate would be accepted, but the walk cannot go on.
      {"nested message cannot be opened",
       [] {
         SignWith({NestedAttribute({Nested(kFirst), Nested(kSecond)})});
         g_signerDouble.accepted = {kFirst, kSecond};
         sim::FailMessageOperation(sim::MsgFailure::kOpenToDecode, 1, ERROR_NOT_ENOUGH_MEMORY);
       },
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    c.arrange();

    const Outcome outcome = Verify();

    EXPECT_OUTCOME(outcome, c.result, c.error);
    std::vector<std::pair<DWORD, DWORD>> stopped;
    if (c.stopped != 0) stopped.emplace_back(c.stopped, c.error);
    if (c.refusal != 0) stopped.emplace_back(kObservedRefusal, c.refusal);
    EXPECT_EQ(OtherStepsHeard(), stopped);
    EXPECT_TRUE(sim::AllReleased());
  }
}

// Nor is anything looked up without crypt32: never through a null module.
TEST_F(FileSignatureTest, NotAFileLoadsNothing) {
  for (void (*arrange)() : {+[] { sim::RemoveFile(kFile); sim::AddDirectory(kFile); },
                            +[] { sim::RemoveFile(kFile); sim::AddDevice(kFile); },
                            +[] { sim::FailSystemModule("crypt32.dll", ERROR_MOD_NOT_FOUND); }}) {
    SetUp();
    arrange();
    (void)Verify();
    EXPECT_TRUE(sim::MappedPaths().empty());
    EXPECT_EQ(sim::CountTrace("GetProcAddress"), 0u);
  }
}

TEST_F(FileSignatureTest, TableResumesAtTheFirstEmptySlot) {
  SignWith({});
  g_signerDouble.accepted = {kPrimary};
  sim::HideSystemExport("crypt32.dll", "CryptDecodeObjectEx");

  EXPECT_OUTCOME(Verify(), 0, ERROR_MOD_NOT_FOUND);
  // Positions 1 to 9 are filled, the lookup of 10 fails, 11 to 15 are not tried.
  EXPECT_EQ(TraceWith("GetProcAddress"), Lookups(1, 10));
  EXPECT_NE(g_cryptoApi.CryptMsgUpdate, nullptr);
  EXPECT_EQ(g_cryptoApi.CryptDecodeObjectEx, nullptr);
  EXPECT_EQ(g_cryptoApi.CertOpenStore, nullptr);
  EXPECT_EQ(g_systemLibraryCache.cryptnet, nullptr);

  sim::SetSystemExport("crypt32.dll", "CryptDecodeObjectEx",
                       reinterpret_cast<void*>(&StandInDecode));
  sim::ClearTrace();
  EXPECT_OUTCOME(Verify(), 1, 0);
  // And the entry point that verifies the primary signature.
  std::vector<std::string> lookups = Lookups(10, 15);
  lookups.push_back("GetProcAddress crypt32.dll CryptMsgControl");
  EXPECT_EQ(TraceWith("GetProcAddress"), lookups);
  EXPECT_EQ(TraceWith("LoadLibraryExW"), (std::vector<std::string>{
                                             "LoadLibraryExW cryptnet.dll 0x800",
                                             "LoadLibraryExW cryptbase.dll 0x800",
                                             "LoadLibraryExW wintrust.dll 0x800"}));
  EXPECT_EQ(g_cryptoApi.CryptDecodeObjectEx, &StandInDecode);

  // Once everything is in place, nothing is loaded or looked up again.
  sim::ClearTrace();
  EXPECT_OUTCOME(Verify(), 1, 0);
  EXPECT_TRUE(TraceWith("GetProcAddress").empty());
  EXPECT_TRUE(TraceWith("LoadLibraryExW").empty());
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(FileSignatureTest, TrustLibrariesAreLoadedFromTheSystemDirectoryAndKept) {
  SignWith({});
  g_signerDouble.accepted = {kPrimary};
  // A loader without its update: full System32 paths, altered search order.
  sim::SetSystemBuild(7601);
  sim::HideSystemExport("kernel32.dll", "AddDllDirectory");

  EXPECT_OUTCOME(Verify(), 1, 0);
  EXPECT_EQ(TraceWith("LoadLibraryExW"),
            (std::vector<std::string>{"LoadLibraryExW C:\\Windows\\system32\\crypt32.dll 0x8",
                                      "LoadLibraryExW C:\\Windows\\system32\\cryptnet.dll 0x8",
                                      "LoadLibraryExW C:\\Windows\\system32\\cryptbase.dll 0x8",
                                      "LoadLibraryExW C:\\Windows\\system32\\wintrust.dll 0x8"}));
  std::vector<std::string> lookups = Lookups(1, 15);
  lookups.push_back("GetProcAddress crypt32.dll CryptMsgControl");
  EXPECT_EQ(TraceWith("GetProcAddress crypt32.dll"), lookups);
  EXPECT_NE(g_systemLibraryCache.crypt32, nullptr);
  EXPECT_NE(g_systemLibraryCache.cryptnet, nullptr);
  EXPECT_NE(g_systemLibraryCache.cryptbase, nullptr);
  // Resident before the signature is opened, so that crypt32's own bare-name
  // load of wintrust.dll cannot pick up a planted copy.
  EXPECT_NE(g_systemLibraryCache.wintrust, nullptr);
}

TEST_F(FileSignatureTest, CryptnetAndCryptbaseRules) {
  struct Case {
    const char* label;
    const char* module;
    DWORD loadError;
    DWORD result;
    DWORD error;
  };
  const Case cases[] = {
      // cryptbase is still loaded before the call ends.
      {"cryptnet missing", "cryptnet.dll", ERROR_MOD_NOT_FOUND, 0, ERROR_MOD_NOT_FOUND},
      {"cryptnet fails otherwise", "cryptnet.dll", ERROR_ACCESS_DENIED, 1, 0},
      {"cryptnet not a loadable image", "cryptnet.dll", ERROR_BAD_EXE_FORMAT, 1, 0},
      {"cryptbase missing", "cryptbase.dll", ERROR_MOD_NOT_FOUND, 1, 0},
      {"cryptbase fails otherwise", "cryptbase.dll", ERROR_ACCESS_DENIED, 1, 0},
      // Without the system wintrust resident, the signature is never opened.
      {"wintrust missing", "wintrust.dll", ERROR_MOD_NOT_FOUND, 0, ERROR_MOD_NOT_FOUND},
      {"wintrust fails otherwise", "wintrust.dll", ERROR_ACCESS_DENIED, 0, ERROR_MOD_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    SignWith({});
    g_signerDouble.accepted = {kPrimary};
    sim::FailSystemModule(c.module, c.loadError);

    EXPECT_OUTCOME(Verify(), c.result, c.error);
    EXPECT_NE(g_systemLibraryCache.cryptbase == nullptr, std::string(c.module) != "cryptbase.dll");
    EXPECT_EQ(sim::CountTrace("CryptQueryObject"), c.result == 1 ? 1u : 0u);

    // The failed one is tried again on the next call, and only that one.
    sim::RestoreSystemModule(c.module);
    sim::ClearTrace();
    EXPECT_OUTCOME(Verify(), 1, 0);
    EXPECT_EQ(TraceWith("LoadLibraryExW"),
              std::vector<std::string>{std::string("LoadLibraryExW ") + c.module + " 0x800"});
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(FileSignatureTest, AcceptedPrimaryLeavesTheNestedSignaturesAlone) {
  SignWith({NestedAttribute({Nested(kFirst)})});
  g_signerDouble.accepted = {kPrimary, kFirst};

  EXPECT_OUTCOME(Verify(), 1, 0);
  EXPECT_EQ(SignerSerials(), std::vector<Serial>{kPrimary});
  EXPECT_EQ(sim::CountTrace("CryptMsgOpenToDecode"), 0u);
}

TEST_F(FileSignatureTest, SignersGetTheirOwnStoreThePathAndThePolicy) {
  SignWith({NestedAttribute({Nested(kFirst)})});
  g_signerDouble.accepted = {kFirst};

  EXPECT_OUTCOME(Verify(), 1, 0);
  ASSERT_EQ(g_signerDouble.calls.size(), 2u);
  const SignerCall& primary = g_signerDouble.calls[0];
  const SignerCall& nested = g_signerDouble.calls[1];
  EXPECT_EQ(nested.serial, kFirst);
  for (const SignerCall* call : {&primary, &nested}) {
    EXPECT_EQ(call->path, kFile);
    EXPECT_EQ(call->file, kHeldFile);
    EXPECT_EQ(call->policy, kPolicy);
    EXPECT_NE(call->store, nullptr);
  }
  EXPECT_NE(nested.store, primary.store);
  // The nested signer's proofs read the file through the loader's handle.
  ASSERT_EQ(g_bindingDouble.calls.size(), 1u);
  EXPECT_EQ(g_bindingDouble.calls[0].serial, kFirst);
  EXPECT_EQ(g_bindingDouble.calls[0].file, kHeldFile);
  EXPECT_EQ(g_bindingDouble.calls[0].policy, kPolicy);
  // The file's message and the candidate's, the file's store and the
  // candidate's, and never more than two signer records at once.
  EXPECT_EQ(primary.live.localBlocks, 1);
  EXPECT_EQ(nested.live.localBlocks, 2);
  EXPECT_EQ(nested.live.messages, 2);
  EXPECT_EQ(nested.live.stores, 2);
}

TEST_F(FileSignatureTest, OnlyTheFirstNestedAttributeIsWalked) {
  // A time stamp's identifier sorts after the nested signature's.
  SignWith({sim::AttributeDesc{szOID_RSA_counterSign, {{0x30, 0x82, 0x00, 0x00}}},
            sim::AttributeDesc{szOID_RFC3161_counterSign, {{0x30, 0x82, 0x00, 0x00}}},
            NestedAttribute({Nested(kFirst)}), NestedAttribute({Nested(kSecond)})});
  g_signerDouble.accepted = {kSecond};

  EXPECT_OUTCOME(Verify(), 0, 0);
  EXPECT_EQ(SignerSerials(), (std::vector<Serial>{kPrimary, kFirst}));
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(FileSignatureTest, HeaderTestDecidesWhetherTheWalkGoesOn) {
  struct Case {
    const char* label;
    size_t offset;  // of the byte changed in the first candidate
    uint8_t value;
    DWORD result;   // the second candidate's signer is accepted
    size_t updates;
  };
  const Case cases[] = {
      {"well-formed", 0, 0x30, 1, 2},
      {"not a SEQUENCE", 0, 0x31, 0, 0},
      {"one length byte", 1, 0x81, 0, 0},
      {"three length bytes", 1, 0x83, 0, 0},
      {"not signedData", 14, 0x01, 0, 0},
      {"first identifier byte", 6, 0x2B, 0, 0},
      // Bytes 4 and 5 are not tested: the candidate is fed, fails to decode and
      // the walk steps on to the next one.
      {"identifier tag", 4, 0x05, 1, 2},
      {"identifier length", 5, 0x0A, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<uint8_t> first = Nested(kFirst);
    first[c.offset] = c.value;
    SignWith({NestedAttribute({first, Nested(kSecond)})});
    g_signerDouble.accepted = {kSecond};

    EXPECT_OUTCOME(Verify(), c.result, 0);
    EXPECT_EQ(sim::MessageUpdates().size(), c.updates);
    EXPECT_EQ(sim::CountTrace("CryptMsgOpenToDecode"), c.updates == 0 ? 1u : 2u);
    // A candidate the header test stops is not one the walk judged.
    EXPECT_EQ(NestedHeard().size(), c.updates);
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(FileSignatureTest, RefusedCandidatesDoNotStopTheWalk) {
  const DWORD kGatesReason = SignerDouble{}.lastError;
  struct Case {
    const char* label;
    std::function<void(std::vector<uint8_t>& first)> arrange;
    DWORD firstHeard;  // the binding the observer hears for the first candidate
    DWORD firstError;  // and the reason: the reading's, or the gates' where they were reached
  };
  // Counts start with the file's own signer record: its queries and its
  // allocation come first.
  const std::vector<Case> cases = {
      {"signer refused", [](std::vector<uint8_t>&) {}, kNestedBound, kGatesReason},
      {"does not decode", [](std::vector<uint8_t>& first) { first[24] ^= 0xFF; },
       kObservedUnreadable, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"size query fails",
       [](std::vector<uint8_t>&) {
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoSize, 2, CRYPT_E_BAD_ENCODE);
       },
       kObservedUnreadable, static_cast<DWORD>(CRYPT_E_BAD_ENCODE)},
      {"size query reports 0",
       [](std::vector<uint8_t>&) {
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoZero, 2, CRYPT_E_BAD_ENCODE);
       },
       kObservedUnreadable, static_cast<DWORD>(CRYPT_E_BAD_ENCODE)},
      {"record cannot be allocated", [](std::vector<uint8_t>&) { sim::FailLocalAllocation(2); },
       kObservedUnreadable, ERROR_NOT_ENOUGH_MEMORY},
      {"record cannot be filled",
       [](std::vector<uint8_t>&) {
         sim::FailMessageOperation(sim::MsgFailure::kSignerInfoFill, 2, CRYPT_E_BAD_ENCODE);
       },
       kObservedUnreadable, static_cast<DWORD>(CRYPT_E_BAD_ENCODE)},
      {"store cannot be opened",
       [](std::vector<uint8_t>&) {
         sim::FailMessageOperation(sim::MsgFailure::kOpenStore, 1, ERROR_NOT_ENOUGH_MEMORY);
       },
       kObservedUnreadable, ERROR_NOT_ENOUGH_MEMORY},
      // The signer gates would take it; its own proofs refuse it first, and
      // it never reaches them.
      {"not bound to the file", [](std::vector<uint8_t>&) { g_bindingDouble.refused = {kFirst}; },
       kNestedNotThisFile, 0},
      // Bound, yet nothing to judge: heard as uncheckable, not as bound.
      {"bound, but handed over nothing",
       [](std::vector<uint8_t>&) { g_bindingDouble.emptyHanded = {kFirst}; }, kNestedUncheckable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<uint8_t> first = Nested(kFirst);
    c.arrange(first);
    SignWith({NestedAttribute({first, Nested(kSecond), Nested(kThird)})});
    g_signerDouble.accepted = {kSecond, kThird};
    const bool proofStopsFirst =
        !g_bindingDouble.refused.empty() || !g_bindingDouble.emptyHanded.empty();
    if (proofStopsFirst) g_signerDouble.accepted.insert(kFirst);

    EXPECT_OUTCOME(Verify(), 1, 0);
    // The first accepted nested signer ends the walk, and the observer hears
    // of the two candidates visited, no more.
    EXPECT_EQ(SignerSerials().back(), kSecond);
    EXPECT_EQ(NestedHeard(),
              (Heard{{c.firstHeard, 0, c.firstError}, {kNestedBound, 1, kGatesReason}}));
    if (proofStopsFirst) {
      EXPECT_EQ(SignerSerials(), (std::vector<Serial>{kPrimary, kSecond}));
    }
    EXPECT_EQ(sim::MessageUpdates().size(), 2u);
    EXPECT_TRUE(sim::AllReleased());
  }
}

// The step, on records laid out byte by byte: the candidate at `offset` from an
// address that is a multiple of 8, with SEQUENCE length `length`, is refused;
// the next candidate is placed where the step should land and is accepted.
TEST_F(FileSignatureTest, StepRoundsAddressesToMultiplesOf8) {
  struct Case {
    uint32_t offset;
    uint16_t length;
    DWORD fed;
    uint32_t step;
  };
  const Case cases[] = {
      {0, 0x059F, 0x5A3, 0x5A8},
      {4, 0x05A0, 0x5A4, 0x5A8},
      {0, 0x00FC, 0x100, 0x100},  // the next candidate follows directly
      // Rounding p + n up and p down, not n alone: 4 + 0x5A8 ends at 0x5AC,
      // which rounds up to 0x5B0.
      {4, 0x05A4, 0x5A8, 0x5B0},
      {7, 0x001B, 0x1F, 0x28},
      {1, 0x001B, 0x1F, 0x20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length);
    SetUp();
    const std::vector<uint8_t> first = sim::EncodeNestedSignatureOfLength(Signature(kFirst), c.length);
    const std::vector<uint8_t> second = Nested(kSecond);
    std::vector<uint8_t> bytes(c.offset + c.step + second.size(), 0);
    std::copy(first.begin(), first.end(), bytes.begin() + c.offset);
    std::copy(second.begin(), second.end(), bytes.begin() + c.offset + c.step);
    sim::SignFileWithRawSignerRecord(kFile, bytes, c.offset);
    g_signerDouble.accepted = {kSecond};

    EXPECT_OUTCOME(Verify(), 1, 0);
    const std::vector<sim::MessageUpdate>& updates = sim::MessageUpdates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(updates[0].data) % 8, c.offset % 8);
    EXPECT_EQ(updates[0].size, c.fed);
    EXPECT_TRUE(updates[0].decoded);
    EXPECT_EQ(static_cast<uint32_t>(updates[1].data - updates[0].data), c.step);
    // The raw primary signer has no certificate, so only the nested ones reach the gates.
    EXPECT_EQ(SignerSerials(), (std::vector<Serial>{kFirst, kSecond}));
    EXPECT_TRUE(sim::AllReleased());
  }
}

// Nothing outside the signer record is read or fed, and leaving it ends the
// walk quietly.
TEST_F(FileSignatureTest, WalkStaysInsideTheRecord) {
  enum class Shape {
    kWhole, kLonger, kCutHeader, kValueAtEnd, kValuePastEnd, kValueBefore, kNoValueCounted,
    kNoValueTable, kReportedShort, kReportedLong
  };
  struct Case {
    const char* label;
    Shape shape;
    DWORD result;
    size_t updates;
  };
  const Case cases[] = {
      {"candidate ends exactly at the record's end", Shape::kWhole, 1, 1},
      {"candidate's bytes reach past the end", Shape::kLonger, 0, 0},
      {"header reaches past the end", Shape::kCutHeader, 0, 0},
      {"first value at the record's end", Shape::kValueAtEnd, 0, 0},
      {"first value past the record's end", Shape::kValuePastEnd, 0, 0},
      {"first value before the record", Shape::kValueBefore, 0, 0},
      // Its value table is set, and holds a candidate the gates would accept.
      {"no value counted", Shape::kNoValueCounted, 0, 0},
      {"a value counted, no value table", Shape::kNoValueTable, 0, 0},
      // The record as the fill reports it ends with a refused candidate; the
      // accepted one lies past that end, in the allocated buffer.
      {"record reported to end before the next candidate", Shape::kReportedShort, 0, 1},
      // The fill reports one byte more than the buffer holds: the byte the candidate claims.
      {"record reported longer than its buffer", Shape::kReportedLong, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<uint8_t> bytes = Nested(kFirst);
    int64_t offset = 0;
    int misreport = 0;
    switch (c.shape) {
      case Shape::kWhole: break;
      case Shape::kLonger: bytes[3] += 1; break;  // claims one byte more than the record holds
      case Shape::kReportedLong: bytes[3] += 1; misreport = 1; break;
      case Shape::kNoValueTable: offset = sim::kNoValueTable; break;
      case Shape::kReportedShort: {  // 31 bytes, a byte short of the step to the next
        const std::vector<uint8_t> accepted = bytes;
        bytes = Nested(kSecond);
        misreport = -static_cast<int>(8 - bytes.size() % 8 + accepted.size());
        bytes.resize(bytes.size() + 8 - bytes.size() % 8, 0);
        bytes.insert(bytes.end(), accepted.begin(), accepted.end());
        break;
      }
      case Shape::kCutHeader: bytes.resize(14); break;
      case Shape::kValueAtEnd: offset = static_cast<int64_t>(bytes.size()); break;
      case Shape::kValuePastEnd: offset = static_cast<int64_t>(bytes.size()) + 8; break;
      case Shape::kValueBefore: offset = -4096; break;
      case Shape::kNoValueCounted: break;
    }
    sim::SignFileWithRawSignerRecord(kFile, bytes, offset, {},
                                     c.shape == Shape::kNoValueCounted ? 0 : 1);
    if (misreport != 0) sim::MisreportSignerInfoSize(1, misreport);
    g_signerDouble.accepted = {kFirst};

    EXPECT_OUTCOME(Verify(), c.result, 0);
    EXPECT_EQ(sim::MessageUpdates().size(), c.updates);
    if (c.shape == Shape::kValueAtEnd || c.shape == Shape::kValuePastEnd ||
        c.shape == Shape::kValueBefore || c.shape == Shape::kNoValueCounted ||
        c.shape == Shape::kNoValueTable) {
      EXPECT_EQ(sim::CountTrace("CryptMsgOpenToDecode"), 0u);
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

// The walk ends after the last candidate, or when the load's budget of
// candidates is spent, whichever comes first.
TEST_F(FileSignatureTest, WalkEndsAfterTheLastCandidateOrTheBudget) {
  struct Case {
    const char* label;
    unsigned candidates;
    bool lastAccepted;
    DWORD result;
  };
  const unsigned kMax = 4;  // the bound stated: moving it fails here
  const Case cases[] = {
      // The step after the last one leaves the record.
      {"three refused", 3, false, 0},
      {"the last within the budget accepted", kMax, true, 1},
      {"the first past the budget never fed", kMax + 1, true, 0},
      {"hundreds refused", 300, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<std::vector<uint8_t>> values;
    std::vector<Serial> judged{kPrimary};
    for (unsigned i = 0; i < c.candidates; ++i) {
      const Serial serial{static_cast<uint8_t>(0x40 + i / 256), static_cast<uint8_t>(i)};
      values.push_back(Nested(serial));
      if (i < kMax) judged.push_back(serial);
      if (c.lastAccepted && i + 1 == c.candidates) g_signerDouble.accepted = {serial};
    }
    SignWith({NestedAttribute(values)});

    EXPECT_OUTCOME(Verify(), c.result, 0);
    EXPECT_EQ(SignerSerials(), judged);
    EXPECT_EQ(sim::MessageUpdates().size(), judged.size() - 1);
    // The observer hears of each candidate judged, and of no other.
    EXPECT_EQ(NestedHeard().size(), judged.size() - 1);
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
