// The compiled pin is exactly the subject public keys of the certificates it
// was made from. The keys are read here independently of the build step: the
// PEM is decoded and the certificate's DER walked by hand down to the
// subject-public-key bit string.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "secureload/pinned_chain.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The DER between the first BEGIN/END CERTIFICATE lines; empty when the PEM is
// not one.
Bytes DecodePem(const std::string& pem) {
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  const size_t from = pem.find(begin);
  const size_t to = pem.find(end);
  if (from == std::string::npos || to == std::string::npos || to < from) return {};
  Bytes out;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = from + begin.size(); i < to; ++i) {
    const char c = pem[i];
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;  // line breaks and '=' padding
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

// One element read from a byte range; false when it does not fit.
struct Reader {
  const uint8_t* p;
  size_t n;
  bool Next(uint8_t* tag, Reader* content) {
    if (n < 2) return false;
    *tag = p[0];
    size_t length = p[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t octets = length & 0x7F;
      if (octets == 0 || octets > 4 || n - 2 < octets) return false;
      length = 0;
      for (size_t i = 0; i < octets; ++i) length = (length << 8) | p[2 + i];
      header += octets;
    }
    if (length > n - header) return false;
    *content = Reader{p + header, length};
    p += header + length;
    n -= header + length;
    return true;
  }
};

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version, serial,
//   signature, issuer, validity, subject, subjectPublicKeyInfo SEQUENCE {
//   algorithm, subjectPublicKey BIT STRING } ... } ... }
// Returns the bit string's content after its unused-bits octet, which must be 0.
Bytes SubjectPublicKey(const Bytes& der) {
  Reader all{der.data(), der.size()};
  Reader cert{}, tbs{}, field{};
  uint8_t tag = 0;
  if (!all.Next(&tag, &cert) || tag != 0x30) return {};
  if (!cert.Next(&tag, &tbs) || tag != 0x30) return {};
  if (!tbs.Next(&tag, &field)) return {};
  if (tag == 0xA0 && !tbs.Next(&tag, &field)) return {};  // serial, after the version
  for (int skip = 0; skip < 4; ++skip) {                  // signature, issuer, validity, subject
    if (!tbs.Next(&tag, &field)) return {};
  }
  Reader spki{}, algorithm{}, bitString{};
  if (!tbs.Next(&tag, &spki) || tag != 0x30) return {};
  if (!spki.Next(&tag, &algorithm) || tag != 0x30) return {};
  if (!spki.Next(&tag, &bitString) || tag != 0x03 || bitString.n < 1 || bitString.p[0] != 0) {
    return {};
  }
  return Bytes(bitString.p + 1, bitString.p + bitString.n);
}

Bytes KeyOf(const char* file) {
  return SubjectPublicKey(DecodePem(ReadFile(std::string(PINNED_CERT_DIR) + "/" + file)));
}

TEST(PinnedKeysTest, TheTableHoldsOneChainOfTheFourNames) {
  ASSERT_EQ(kPinnedChainCount, 1u);
  const PinnedChain& chain = PinnedChainTable[0];
  const char* const names[] = {"STP SDK - Code Signing Leaf (prod)",
                               "STP SDK - Code Signing Zone All CA 01",
                               "STP SDK - Code Signing L1 Intermediate CA 01", "STP Root CA 01"};
  for (unsigned row = 0; row < kPinnedChainLength; ++row) {
    EXPECT_STREQ(chain.rows[row].expectedName, names[row]) << "row " << row;
  }
  EXPECT_EQ(chain.rows[0].keyLength, 0u);
  EXPECT_EQ(chain.rows[0].keyBytes, nullptr);
  EXPECT_EQ(chain.rows[1].keyLength, 0u);
  EXPECT_EQ(chain.rows[1].keyBytes, nullptr);
}

TEST(PinnedKeysTest, PinnedKeysAreTheCertificatesSubjectPublicKeys) {
  struct Case {
    unsigned row;
    const char* file;
  };
  for (const Case& c : {Case{2, "l1.pem"}, Case{3, "root.pem"}}) {
    const Bytes key = KeyOf(c.file);
    // A DER RSAPublicKey of a 4096-bit modulus: SEQUENCE with two length
    // octets, a 513-byte INTEGER (leading zero), a 3-byte exponent.
    ASSERT_EQ(key.size(), 526u) << c.file;
    EXPECT_EQ(Bytes(key.begin(), key.begin() + 9),
              (Bytes{0x30, 0x82, 0x02, 0x0A, 0x02, 0x82, 0x02, 0x01, 0x00}))
        << c.file;
    const PinnedChainRow& row = PinnedChainTable[0].rows[c.row];
    ASSERT_EQ(row.keyLength, key.size()) << c.file;
    EXPECT_EQ(Bytes(row.keyBytes, row.keyBytes + row.keyLength), key) << c.file;
  }
  EXPECT_NE(KeyOf("l1.pem"), KeyOf("root.pem"));
}

TEST(PinnedKeysTest, TheReleaseDirectoryHoldsCertificatesOnly) {
  // Whichever table this program links, the release directory itself must
  // never hold a private key (the test chain's keys are committed on purpose,
  // elsewhere).
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(RELEASE_CERT_DIR)) {
    const std::string text = ReadFile(entry.path().string());
    EXPECT_EQ(text.find("PRIVATE KEY"), std::string::npos) << entry.path();
    EXPECT_NE(text.find("BEGIN CERTIFICATE"), std::string::npos) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 4);
}

}  // namespace
