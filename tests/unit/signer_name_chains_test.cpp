// MatchSignerNameChains against stores of chosen content and order: which
// chain matches, where issuer-name mode decides, how the issuer lookup
// continues after the previous result, and that every context a lookup hands
// out is released exactly once.
#include "secureload/signer_name_chains.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

const char kKorvex[] = "KORVEX Corporation";
const char kSentrix[] = "Sentrix Class 3 SHA256 Code Signing CA";
const char kG5[] = "Verimark Class 3 Public Primary Certification Authority - G5";
const char kCodeVerificationRoot[] = "Microsoft Code Verification Root";

// The thirteen chains, spelled out again here rather than read from the table
// under test: a name that changes case or gains a blank there shows against
// this copy.
const char* const kChains[13][4] = {
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA",
     "Verimark Class 3 Public Primary Certification Authority - G5",
     "Microsoft Code Verification Root"},
    {"KORVEX Corporation", "Verimark Class 3 Code Signing 2010 CA",
     "Verimark Class 3 Public Primary Certification Authority - G5",
     "Microsoft Code Verification Root"},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA - G2",
     "Verimark Universal Root Certification Authority", "Microsoft Code Verification Root"},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA",
     "Verimark Class 3 Public Primary Certification Authority - G5", nullptr},
    {"KORVEX Corporation", "Verimark Class 3 Code Signing 2010 CA",
     "Verimark Class 3 Public Primary Certification Authority - G5", nullptr},
    {"KORVEX Corporation", "Sentrix Class 3 SHA256 Code Signing CA - G2",
     "Verimark Universal Root Certification Authority", nullptr},
    {"KORVEX Corporation PE Sign v2016", "KORVEX Subordinate CA 2016 v2",
     "Microsoft Digital Media Authority 2005", nullptr},
    {"KORVEX Corporation-PE-Prod-Sha1", "KORVEX Subordinate CA 2018-Prod-Sha1",
     "Microsoft Digital Media Authority 2005", nullptr},
    {"KORVEX Corporation-PE-Prod-Sha2", "KORVEX Subordinate CA 2018-Prod-Sha2",
     "Microsoft Digital Media Authority 2005", nullptr},
    {"KORVEX Corporation-PE-Prod-Sha1", "KORVEX Subordinate CA 2019-Prod-Sha1",
     "Microsoft Digital Media Authority 2005", nullptr},
    {"KORVEX Corporation-PE-Prod-Sha2", "KORVEX Subordinate CA 2019-Prod-Sha2",
     "Microsoft Digital Media Authority 2005", nullptr},
    {"KORVEX CORPORATION", "KORVEX Subordinate CA", "Microsoft Digital Media Authority 2005",
     nullptr},
    {"Korvex Corporation", "Certivo SHA2 Assured ID Code Signing CA", "Certivo Assured ID Root CA",
     nullptr},
};

class SignerNameChainsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    crypt_world::ResolveCryptoApi();
  }

  // signedBy: the certificate whose key signed this one (default: whichever
  // carries the issuer's name).
  sim::CertId Add(const std::string& subject, const std::string& issuer,
                  sim::CertId signedBy = sim::kSignedByNamedIssuer) {
    sim::CertDesc desc = crypt_world::Certificate(subject, issuer, {static_cast<uint8_t>(next_++)});
    desc.signedBy = signedBy;
    return sim::AddCertificate(desc);
  }

  // Runs the match for `leaf` in a store of `certs` (in that order), then
  // closes the store and checks that nothing stayed held or was released
  // twice.
  DWORD Match(sim::CertId leaf, const std::vector<sim::CertId>& certs, DWORD* lastError = nullptr) {
    HCERTSTORE store = sim::internal::OpenStoreOf(certs);
    const sim::SignerDesc signer = sim::SignerOf(leaf);
    std::vector<uint8_t> issuer(signer.issuer.begin(), signer.issuer.end());
    std::vector<uint8_t> serial = signer.serial;
    CERT_INFO wanted = {};
    wanted.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    wanted.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    PCCERT_CONTEXT leafCert =
        CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    EXPECT_NE(leafCert, nullptr);
    sim::ClearTrace();
    SetLastError(0xDEAD);
    const DWORD result = MatchSignerNameChains(leafCert);
    if (lastError != nullptr) *lastError = GetLastError();
    trace_ = sim::Trace();
    CertFreeCertificateContext(leafCert);
    CertCloseStore(store, 0);
    EXPECT_TRUE(sim::AllReleased()) << "contexts held: " << sim::Live().certContexts
                                    << ", bad releases: " << sim::Live().badReleases;
    return result;
  }

  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : trace_) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  std::vector<std::string> trace_;
  int next_ = 1;
};

TEST_F(SignerNameChainsTest, TableIsTheThirteenChainsEndedByAnEmptyOne) {
  // Spot checks of the entries whose spelling decides a match.
  EXPECT_STREQ(SignerNameChains[0][3], kCodeVerificationRoot);
  EXPECT_EQ(SignerNameChains[3][3], nullptr);
  EXPECT_STREQ(SignerNameChains[6][0], "KORVEX Corporation PE Sign v2016");
  EXPECT_STREQ(SignerNameChains[11][0], "KORVEX CORPORATION");
  EXPECT_STREQ(SignerNameChains[12][0], "Korvex Corporation");
  EXPECT_STREQ(SignerNameChains[12][2], "Certivo Assured ID Root CA");
  EXPECT_EQ(SignerNameChains[13][0], nullptr);
  for (unsigned i = 0; i < kSignerNameChainCount; ++i) {
    EXPECT_EQ(SignerNameChains[i][4], nullptr) << "chain " << i + 1;
    EXPECT_NE(SignerNameChains[i][2], nullptr) << "chain " << i + 1;
    for (unsigned j = 0; j < 4; ++j) {
      if (kChains[i][j] == nullptr) {
        EXPECT_EQ(SignerNameChains[i][j], nullptr) << "chain " << i + 1 << " name " << j + 1;
      } else {
        EXPECT_STREQ(SignerNameChains[i][j], kChains[i][j])
            << "chain " << i + 1 << " name " << j + 1;
      }
    }
  }
}

TEST_F(SignerNameChainsTest, StoresOfTheSentrixChain) {
  struct Case {
    const char* label;
    bool withC;
    bool cBeforeB;
    DWORD match;
  };
  const Case cases[] = {
      // C's issuer is not in the store; its issuer name is chain 1's last.
      {"{A, B, C}", true, false, 1},
      // Chain 1 wants a fourth name; chain 4 ends with B's issuer name.
      {"{A, B}", false, false, 1},
      // The lookup for B's issuer continues after B and finds nothing, so
      // chain 4 matches through B's issuer name.
      {"{A, C, B}", true, true, 1},
  };
  for (const Case& c : cases) {
    const sim::CertId a = Add(kKorvex, kSentrix);
    const sim::CertId b = Add(kSentrix, kG5);
    const sim::CertId cc = Add(kG5, kCodeVerificationRoot);
    std::vector<sim::CertId> store = {a, b};
    if (c.withC)
      store = c.cBeforeB ? std::vector<sim::CertId>{a, cc, b} : std::vector<sim::CertId>{a, b, cc};
    DWORD lastError = 0;
    EXPECT_EQ(Match(a, store, &lastError), c.match) << c.label;
    EXPECT_EQ(lastError, 0u) << c.label;
  }
}

TEST_F(SignerNameChainsTest, OnlyCertificatesThatSignedTheOneBelowAreClimbed) {
  // B signed the leaf A, and C signed B. A decoy and NotC carry the names of
  // B and C, so the lookup finds them, but signed nothing here.
  enum { kA, kB, kDecoy, kC, kNotC, kCount };
  struct Case {
    const char* label;
    std::vector<int> store;
    DWORD match;
  };
  const Case cases[] = {
      // The lookup yields the decoy first and its signature check fails: the
      // chain ends there, a failure, rather than read on through a
      // certificate that did not sign the leaf.
      {"decoy before B", {kA, kDecoy, kB}, 0},
      {"B before the decoy", {kA, kB, kDecoy}, 1},
      {"{A, B, C}", {kA, kB, kC}, 1},
      // Chain 1 cannot climb to NotC, and chain 4 may not end below an issuer
      // the store yields.
      {"{A, B, not C}", {kA, kB, kNotC}, 0},
  };
  for (const Case& c : cases) {
    sim::CertId id[kCount];
    id[kC] = Add(kG5, kCodeVerificationRoot);
    id[kB] = Add(kSentrix, kG5, id[kC]);
    id[kA] = Add(kKorvex, kSentrix, id[kB]);
    id[kDecoy] = Add(kSentrix, kG5);
    id[kNotC] = Add(kG5, kCodeVerificationRoot);
    std::vector<sim::CertId> store;
    for (int which : c.store) store.push_back(id[which]);
    EXPECT_EQ(Match(id[kA], store), c.match) << c.label;
  }
}

TEST_F(SignerNameChainsTest, WhichChainMatchedShowsInTheIssuerNameReads) {
  const sim::CertId a = Add(kKorvex, kSentrix);
  const sim::CertId b = Add(kSentrix, kG5);
  const sim::CertId c = Add(kG5, kCodeVerificationRoot);
  // {A, B, C}: chain 1 decides on C's issuer name, nothing else is read in
  // issuer-name mode.
  ASSERT_EQ(Match(a, {a, b, c}), 1u);
  EXPECT_EQ(Count("CertGetNameStringW \"" + std::string(kG5) + "\" 0x4 0x1"), 1u);
  EXPECT_EQ(Count("CertGetNameStringW \"" + std::string(kSentrix) + "\" 0x4 0x1"), 0u);
  // {A, C, B}: chain 1 fails on B's issuer name against the fourth name,
  // chain 4 matches on the same read.
  ASSERT_EQ(Match(a, {a, c, b}), 1u);
  EXPECT_EQ(Count("CertGetNameStringW \"" + std::string(kSentrix) + "\" 0x4 0x1"), 2u);
  EXPECT_EQ(Count("CertGetNameStringW \"" + std::string(kG5) + "\""), 0u);
}

TEST_F(SignerNameChainsTest, LookupsContinueAfterThePreviousResult) {
  // Chain 12 in the store {A, C, B, D}: B's issuer C stands before B, and C's
  // own issuer D is there too. Continuing after B finds nothing, so chain 12
  // ends on B's issuer name. A lookup that started over would climb to C, find
  // D above it, and fail.
  const sim::CertId a = Add("KORVEX CORPORATION", "KORVEX Subordinate CA");
  const sim::CertId b = Add("KORVEX Subordinate CA", "Microsoft Digital Media Authority 2005");
  const sim::CertId c = Add("Microsoft Digital Media Authority 2005", "Some Root");
  const sim::CertId d = Add("Some Root", "Above Everything");
  EXPECT_EQ(Match(a, {a, c, b, d}), 1u);
  // Every lookup asks for the signature check.
  EXPECT_EQ(Count("CertGetIssuerCertificateFromStore \"KORVEX CORPORATION\" prev=(none) flags=0x1"),
            1u);
  EXPECT_EQ(Count("CertGetIssuerCertificateFromStore \"KORVEX Subordinate CA\" "
                  "prev=\"KORVEX Subordinate CA\" flags=0x1"),
            1u);
  EXPECT_EQ(Count("CertGetIssuerCertificateFromStore"), 2u);
}

TEST_F(SignerNameChainsTest, ALeafAloneMatchesNoChain) {
  const sim::CertId a = Add(kKorvex, kSentrix);
  EXPECT_EQ(Match(a, {a}), 0u);
}

TEST_F(SignerNameChainsTest, AnIssuerAboveTheLastNameMakesTheChainFail) {
  const sim::CertId a = Add(kKorvex, kSentrix);
  const sim::CertId b = Add(kSentrix, kG5);
  const sim::CertId c = Add(kG5, kCodeVerificationRoot);
  const sim::CertId d = Add(kCodeVerificationRoot, "Another Root");
  const sim::CertId e = Add("Another Root", "Yet Another Root");
  // D, the certificate named by chain 1's last name, is the top of the store:
  // chain 1 matches.
  EXPECT_EQ(Match(a, {a, b, c, d}), 1u);
  // With D's issuer E in the store, chain 1 fails at D, and chain 4 fails at
  // C, whose issuer D is there too.
  EXPECT_EQ(Match(a, {a, b, c, d, e}), 0u);
}

TEST_F(SignerNameChainsTest, UpperCaseCorporationOnlyReachesChainTwelve) {
  const sim::CertId a = Add("KORVEX CORPORATION", "KORVEX Subordinate CA");
  const sim::CertId b = Add("KORVEX Subordinate CA", "Microsoft Digital Media Authority 2005");
  EXPECT_EQ(Match(a, {a, b}), 1u);
  // Chains 1 to 11 fail on the first name, without a lookup; chain 12 reads
  // the leaf once more and climbs.
  EXPECT_EQ(Count("CertGetNameStringW \"KORVEX CORPORATION\" 0x4 0x0"), 12u);
  EXPECT_EQ(Count("CertGetIssuerCertificateFromStore \"KORVEX CORPORATION\""), 1u);
}

TEST_F(SignerNameChainsTest, UnlistedLeafMakesThirteenComparisonsAndNoLookup) {
  const sim::CertId a = Add("Korvex corporation", kSentrix);
  const sim::CertId b = Add(kSentrix, kG5);
  EXPECT_EQ(Match(a, {a, b}), 0u);
  EXPECT_EQ(Count("CertGetNameStringW"), 13u);
  EXPECT_EQ(Count("CertGetIssuerCertificateFromStore"), 0u);
}

TEST_F(SignerNameChainsTest, EveryChainFamilyMatchesItsOwnStore) {
  // Each chain, built as certificates each issued by the next, with the top
  // one's issuer outside the store: the names end at the top of the store.
  for (unsigned i = 0; i < kSignerNameChainCount; ++i) {
    const char* const* names = kChains[i];
    std::vector<sim::CertId> certs;
    for (unsigned j = 0; j + 1 < 4 && names[j + 1] != nullptr; ++j) {
      certs.push_back(Add(names[j], names[j + 1]));
    }
    EXPECT_EQ(Match(certs[0], certs), 1u) << "chain " << i + 1;
  }
}

// A chain as the platform's engine built it: its elements and no more, so a
// chain whose top has an issuer's name left over matches nothing. The engine
// always gives at least one element; a chain without its elements, or with a
// count and no array, is refused without being read (the empty array is
// exactly its size, for the sanitizer build).
TEST_F(SignerNameChainsTest, AnEngineChainMatchesItsElementsAlone) {
  struct Case {
    const char* label;
    std::vector<const char*> names;  // each certificate issued by the next
    const char* topIssuer;
    DWORD count;  // as the chain says
    bool withArray;
    bool match;
  };
  const Case cases[] = {
      {"chain 4", {kKorvex, kSentrix, kG5}, kCodeVerificationRoot, 3, true, true},
      {"chain 1", {kKorvex, kSentrix, kG5, kCodeVerificationRoot}, "Above", 4, true, true},
      // The store's walk would take the top's issuer name as chain 4's last.
      {"chain 4 less its top", {kKorvex, kSentrix}, kG5, 2, true, false},
      {"no elements", {}, "", 0, false, false},
      {"no elements, an empty array", {}, "", 0, true, false},
      {"elements counted, no array", {kKorvex, kSentrix, kG5}, "Above", 3, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    std::vector<sim::CertId> certs;
    for (size_t i = 0; i < c.names.size(); ++i) {
      certs.push_back(Add(c.names[i], i + 1 < c.names.size() ? c.names[i + 1] : c.topIssuer));
    }
    HCERTSTORE store = sim::internal::OpenStoreOf(certs);
    std::vector<CERT_CHAIN_ELEMENT> elements(certs.size());
    std::unique_ptr<PCERT_CHAIN_ELEMENT[]> array(new PCERT_CHAIN_ELEMENT[certs.size()]);
    for (size_t i = 0; i < certs.size(); ++i) {
      const sim::SignerDesc signer = sim::SignerOf(certs[i]);
      std::vector<uint8_t> issuer(signer.issuer.begin(), signer.issuer.end());
      std::vector<uint8_t> serial = signer.serial;
      CERT_INFO wanted = {};
      wanted.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
      wanted.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
      elements[i].pCertContext = CertFindCertificateInStore(
          store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      array[i] = &elements[i];
    }
    CERT_SIMPLE_CHAIN simple = {};
    simple.cElement = c.count;
    simple.rgpElement = c.withArray ? array.get() : nullptr;
    EXPECT_EQ(MatchesSignerNameChain(simple), c.match);
    for (const CERT_CHAIN_ELEMENT& element : elements) {
      CertFreeCertificateContext(element.pCertContext);
    }
    CertCloseStore(store, 0);
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
