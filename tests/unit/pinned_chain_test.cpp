// MatchCertificate: names read as UTF-16, printable ASCII only, compared
// exactly after the platform has cut them to 255 characters, and pinned keys
// compared exactly, unused bits included.
#include "secureload/pinned_chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

const char kRoot[] = "STP Root CA 01";

std::vector<uint8_t> PinnedKey(unsigned row) {
  const PinnedChainRow& pinned = PinnedChainTable[0].rows[row];
  return std::vector<uint8_t>(pinned.keyBytes, pinned.keyBytes + pinned.keyLength);
}

class MatchCertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    crypt_world::ResolveCryptoApi();
    store_ = sim::internal::OpenStoreOf({});
  }
  void TearDown() override {
    for (PCCERT_CONTEXT cert : held_) CertFreeCertificateContext(cert);
    CertCloseStore(store_, 0);
    EXPECT_TRUE(sim::AllReleased());
  }

  // A context of a new certificate, held for the length of the test.
  PCCERT_CONTEXT Cert(sim::CertDesc desc) {
    const sim::CertId id = sim::AddCertificate(desc);
    HCERTSTORE store = sim::internal::OpenStoreOf({id});
    const sim::SignerDesc signer = sim::SignerOf(id);
    CERT_INFO wanted = {};
    std::vector<uint8_t> issuer(signer.issuer.begin(), signer.issuer.end());
    std::vector<uint8_t> serial = signer.serial;
    wanted.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    wanted.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    CertCloseStore(store, 0);
    held_.push_back(cert);
    return cert;
  }
  PCCERT_CONTEXT Named(const std::string& subject, const std::string& issuer = "Some Issuer") {
    return Cert(crypt_world::Certificate(subject, issuer));
  }
  PCCERT_CONTEXT Keyed(std::vector<uint8_t> key, DWORD unusedBits = 0) {
    sim::CertDesc desc = crypt_world::Certificate(kRoot, kRoot);
    desc.publicKey = std::move(key);
    desc.unusedBits = unusedBits;
    return Cert(desc);
  }

  HCERTSTORE store_ = nullptr;
  std::vector<PCCERT_CONTEXT> held_;
};

TEST_F(MatchCertificateTest, NamesCompareByteForByte) {
  const std::string longName(300, 'N');
  struct Case {
    const char* label;
    std::string certName;
    std::string expected;
    DWORD match;
  };
  const Case cases[] = {
      {"exact", kRoot, kRoot, 1},
      {"letter case", "STP ROOT CA 01", kRoot, 0},
      {"trailing blank on the certificate", "STP Root CA 01 ", kRoot, 0},
      {"trailing blank expected", kRoot, "STP Root CA 01 ", 0},
      {"prefix of the expected name", "STP Root CA 0", kRoot, 0},
      {"no name at all", "", kRoot, 0},
      // The platform writes 255 bytes of a longer name into the 256-byte
      // buffer: those 255 bytes are the name that is compared.
      {"cut to 255 bytes", longName, longName.substr(0, 255), 1},
      {"256 bytes expected from a cut name", longName, longName.substr(0, 256), 0},
      {"the uncut name", longName, longName, 0},
      // Read as the certificate holds it, never a best-fit 8-bit rendering:
      // look-alikes, a NUL with more behind it, anything but printable ASCII.
      {"Kelvin sign for K", "\xE2\x84\xAAORVEX Corporation", "KORVEX Corporation", 0},
      {"fullwidth K", "\xEF\xBC\xABORVEX Corporation", "KORVEX Corporation", 0},
      {"dotless i", "Korvex Corporat\xC4\xB1on", "Korvex Corporation", 0},
      {"NUL and more after the name", std::string("KORVEX Corporation\0.x", 21),
       "KORVEX Corporation", 0},
      {"a trailing NUL", std::string("KORVEX Corporation\0", 19), "KORVEX Corporation", 0},
      {"a tab inside", "KORVEX\tCorporation", "KORVEX\tCorporation", 0},
      {"a unit separator (0x1F) inside", "KORVEX\x1F" "Corporation", "KORVEX\x1F" "Corporation", 0},
      {"DEL at the end", "KORVEX Corporation\x7F", "KORVEX Corporation\x7F", 0},
      // Every printable character, the blank and the tilde at its ends, counts as itself.
      {"printable ASCII from blank to tilde", " !~ KORVEX", " !~ KORVEX", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchCertificate(Named(c.certName), FALSE, c.expected.c_str(), 0, nullptr), c.match)
        << c.label;
  }
}

TEST_F(MatchCertificateTest, IssuerFlagComparesTheIssuersName) {
  PCCERT_CONTEXT cert = Named("STP SDK - Code Signing Leaf (prod)", kRoot);
  EXPECT_EQ(MatchCertificate(cert, TRUE, kRoot, 0, nullptr), 1u);
  EXPECT_EQ(MatchCertificate(cert, FALSE, kRoot, 0, nullptr), 0u);
  EXPECT_EQ(MatchCertificate(cert, TRUE, "STP SDK - Code Signing Leaf (prod)", 0, nullptr), 0u);
  EXPECT_EQ(sim::CountTrace("CertGetNameStringW \"STP SDK - Code Signing Leaf (prod)\" 0x4 0x1"),
            2u);
}

TEST_F(MatchCertificateTest, NoNameAndNoKeyMatchesAnything) {
  EXPECT_EQ(MatchCertificate(Named(""), FALSE, nullptr, 0, nullptr), 1u);
  EXPECT_EQ(sim::CountTrace("CertGetNameStringW"), 0u);
}

TEST_F(MatchCertificateTest, PinnedKeysMatchExactly) {
  const std::vector<uint8_t> pin = PinnedKey(3);
  ASSERT_EQ(pin.size(), 526u);
  std::vector<uint8_t> shorter(pin.begin(), pin.end() - 1);
  std::vector<uint8_t> longer = pin;
  longer.push_back(0x00);
  struct Case {
    const char* label;
    std::vector<uint8_t> key;
    DWORD unusedBits;
    DWORD match;
  };
  std::vector<Case> cases = {
      {"the pinned key", pin, 0, 1},
      {"525 bytes", shorter, 0, 0},
      {"527 bytes", longer, 0, 0},
      // The right bytes in a bit string that declares unused bits are another key.
      {"unused bits declared", pin, 1, 0},
      {"no key", {}, 0, 0},
  };
  for (size_t at : {size_t{0}, size_t{9}, size_t{300}, size_t{525}}) {
    std::vector<uint8_t> key = pin;
    key[at] ^= 0x01;
    cases.push_back({"one byte differs", key, 0, 0});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(MatchCertificate(Keyed(c.key, c.unusedBits), FALSE, kRoot, 526, pin.data()), c.match)
        << c.label << " (" << c.key.size() << " bytes)";
  }
}

TEST_F(MatchCertificateTest, ANameMismatchRefusesWhateverTheKey) {
  const std::vector<uint8_t> pin = PinnedKey(3);
  EXPECT_EQ(MatchCertificate(Keyed(pin), FALSE, "STP Root CA 02", 526, pin.data()), 0u);
  // The name is compared first: with the key wrong as well, it is still read.
  PCCERT_CONTEXT wrongKey = Keyed(PinnedKey(2));
  sim::ClearTrace();
  EXPECT_EQ(MatchCertificate(wrongKey, FALSE, "STP Root CA 02", 526, pin.data()), 0u);
  EXPECT_EQ(sim::CountTrace("CertGetNameStringW"), 1u);
}

TEST_F(MatchCertificateTest, AMissingLengthOrKeyComparesTheNameOnly) {
  const std::vector<uint8_t> pin = PinnedKey(3);
  PCCERT_CONTEXT other = Keyed(std::vector<uint8_t>(100, 0x42));
  EXPECT_EQ(MatchCertificate(other, FALSE, kRoot, 0, pin.data()), 1u);
  EXPECT_EQ(MatchCertificate(other, FALSE, kRoot, 526, nullptr), 1u);
}

TEST_F(MatchCertificateTest, TableRowsZeroAndOnePinNamesOnly) {
  ASSERT_EQ(kPinnedChainCount, 1u);
  for (unsigned row = 0; row < 2; ++row) {
    const PinnedChainRow& pinned = PinnedChainTable[0].rows[row];
    EXPECT_EQ(pinned.keyLength, 0u);
    sim::CertDesc desc = crypt_world::Certificate(pinned.expectedName, "Anyone");
    desc.publicKey = {0x30, 0x03, 0x02, 0x01, 0x03};
    desc.unusedBits = 3;
    EXPECT_EQ(
        MatchCertificate(Cert(desc), FALSE, pinned.expectedName, pinned.keyLength, pinned.keyBytes),
        1u)
        << "row " << row;
  }
  for (unsigned row = 2; row < 4; ++row) {
    const PinnedChainRow& pinned = PinnedChainTable[0].rows[row];
    sim::CertDesc desc = crypt_world::Certificate(pinned.expectedName, "Anyone");
    desc.publicKey = PinnedKey(row == 2 ? 3 : 2);  // the other pinned key
    EXPECT_EQ(
        MatchCertificate(Cert(desc), FALSE, pinned.expectedName, pinned.keyLength, pinned.keyBytes),
        0u)
        << "row " << row;
    desc.publicKey = PinnedKey(row);
    EXPECT_EQ(
        MatchCertificate(Cert(desc), FALSE, pinned.expectedName, pinned.keyLength, pinned.keyBytes),
        1u)
        << "row " << row;
  }
}

}  // namespace
