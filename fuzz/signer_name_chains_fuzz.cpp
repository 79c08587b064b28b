// MatchSignerNameChains over small arbitrary certificate stores: up to eight
// certificates whose subject and issuer names, issuer links and order in the
// store all come from the input, and any one of them as the leaf.
//
// Input: byte 0      bits 0-2: the number of certificates - 1
//        byte 1      which certificate is the leaf
//        then, per certificate: a subject, an issuer (see ReadName), and an
//        order key; the store holds the certificates sorted by key (ties keep
//        their input order). A key with bit 0x80 also says which certificate's
//        key signed this one (bits 4-6, modulo the count); otherwise whichever
//        carries its issuer's name did. Bytes that run out read as 0.
//
// After every run, whatever the verdict: every certificate context the match
// took was released exactly once (nothing held, nothing released that was not
// held), and a match means the leaf carries the first name of a chain and the
// last error is 0. Any failure aborts, so libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/signer_name_chains.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

constexpr size_t kMaxCertificates = 8;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "signer_name_chains_fuzz: %s\n", what);
  abort();
}

// The name in slot `slot` (0 to 3) of chain `chain`; empty past a chain's end.
std::string ChainName(unsigned chain, unsigned slot) {
  const char* name = SignerNameChains[chain][slot];
  return name == nullptr ? std::string() : std::string(name);
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() {
    if (at_ >= size_) return 0;
    return data_[at_++];
  }
  std::string Text(size_t length) {
    const size_t count = std::min(length, size_ - at_);
    std::string text(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Names by selector byte s, where a chain name is named by c = 4 * chain + slot
// (c < 52; slots past a chain's end are empty):
//   0x00 + c   the chain name
//   0x34 + c   the chain name with bit 0x20 of one character flipped (the case of
//              a letter); the next byte picks the character
//   0x68 + c   the chain name without its last character
//   0x9C + c   the chain name with a blank after it
//   0xD0 - 0xD7  the subject of certificate s & 7 (an issuer link; to the first
//              certificate when there are fewer)
//   0xD8 - 0xDF  the empty name
//   0xE0 - 0xFE  the next byte's count of bytes from the input, any bytes
//   0xFF       256 more than the next byte's count: longer than a name buffer
// Links are resolved once every subject is known; a subject linking to a
// subject takes that subject's own text, or the empty name when it links on.
constexpr uint8_t kNamed = kSignerNameChainCount * 4;
static_assert(kNamed == 0x34, "four selector ranges of chain names fit below 0xD0");

struct NameChoice {
  std::string text;
  int link = -1;
};

NameChoice ReadName(Input& in) {
  const uint8_t s = in.Byte();
  NameChoice choice;
  if (s < 4 * kNamed) {
    const unsigned c = s % kNamed;
    choice.text = ChainName(c / 4, c % 4);
    if (choice.text.empty()) return choice;
    switch (s / kNamed) {
      case 1: {
        const size_t at = in.Byte() % choice.text.size();
        choice.text[at] = static_cast<char>(choice.text[at] ^ 0x20);
        break;
      }
      case 2: choice.text.pop_back(); break;
      case 3: choice.text += ' '; break;
      default: break;
    }
  } else if (s < 0xD8) {
    choice.link = s & 7;
  } else if (s >= 0xE0 && s < 0xFF) {
    choice.text = in.Text(in.Byte());
  } else if (s == 0xFF) {
    choice.text = in.Text(256u + in.Byte());
  }
  return choice;
}

struct CertChoice {
  NameChoice subject;
  NameChoice issuer;
  uint8_t key;
};

// The name a comparison can see: at most 255 characters of it, and none at
// all when any byte is outside printable ASCII (a NUL inside it included).
std::string Displayed(const std::string& name) {
  for (char c : name) {
    if (c < 0x20 || c > 0x7E) return std::string();
  }
  return name.substr(0, 255);
}

bool IsFirstNameOfAChain(const std::string& name) {
  for (unsigned i = 0; i < kSignerNameChainCount; ++i) {
    if (name == SignerNameChains[i][0]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ResetProcessState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const size_t count = 1 + (in.Byte() & (kMaxCertificates - 1));
  const size_t leafIndex = in.Byte() % count;
  std::vector<CertChoice> choices(count);
  for (CertChoice& choice : choices) {
    choice.subject = ReadName(in);
    choice.issuer = ReadName(in);
    choice.key = in.Byte();
  }
  auto resolve = [&](const NameChoice& choice) -> std::string {
    if (choice.link < 0) return choice.text;
    const size_t linked = static_cast<size_t>(choice.link) < count ? choice.link : 0;
    const NameChoice& target = choices[linked].subject;
    return target.link < 0 ? target.text : std::string();
  };

  // The process is in its first state (see the reset at the end).
  crypt_world::ResolveCryptoApi();
  std::vector<sim::CertId> ids(count);
  for (size_t i = 0; i < count; ++i) {
    sim::CertDesc cert;
    cert.subject = resolve(choices[i].subject);
    cert.issuer = resolve(choices[i].issuer);
    cert.serial = {0x01, static_cast<uint8_t>(i)};
    // Certificates are numbered from 0 in a world in its first state.
    if (choices[i].key & 0x80) {
      cert.signedBy = static_cast<sim::CertId>(((choices[i].key >> 4) & 7) % count);
    }
    ids[i] = sim::AddCertificate(cert);
    if (ids[i] != static_cast<sim::CertId>(i)) Fail("certificates are not numbered from 0");
  }
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return choices[a].key < choices[b].key; });
  std::vector<sim::CertId> stored;
  for (size_t i : order) stored.push_back(ids[i]);

  HCERTSTORE store = sim::internal::OpenStoreOf(stored);
  const sim::CertDesc& leafCert = sim::CertificateDesc(ids[leafIndex]);
  std::vector<BYTE> issuer(leafCert.issuer.begin(), leafCert.issuer.end());
  std::vector<BYTE> serial = leafCert.serial;
  CERT_INFO wanted = {};
  wanted.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  wanted.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
  PCCERT_CONTEXT leaf = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                   CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  if (leaf == nullptr) Fail("the leaf is not in its store");

  SetLastError(0xBAD);
  const DWORD matched = MatchSignerNameChains(leaf);
  const DWORD error = GetLastError();
  const sim::Counters during = sim::Live();
  if (during.certContexts != 1) Fail("the match kept a certificate context or gave back the leaf");

  CertFreeCertificateContext(leaf);
  CertCloseStore(store, 0);
  if (!sim::AllReleased()) Fail("a context was not released exactly once");
  if (matched != 0 && (!IsFirstNameOfAChain(Displayed(leafCert.subject)) || error != 0)) {
    Fail("matched a leaf that carries no chain's first name, or with a last error");
  }
  // Resetting here rather than at the start leaves nothing of the run
  // allocated, so libFuzzer has no reason to run the input twice looking for
  // a leak.
  ResetProcessState();
  return 0;
}
