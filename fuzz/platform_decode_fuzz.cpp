// Every byte parser of the simulated platform that untrusted bytes reach,
// called through the platform entry points the verifier uses:
//   CryptDecodeObjectEx  PKCS_CONTENT_INFO (RFC 3161 time-stamp tokens),
//                        the signing time, PKCS7_SIGNER_INFO (counter-signers)
//   CryptMsgUpdate       a nested signature's ContentInfo, then the signer
//                        record and the store of the decoded message
//
// Input: byte 0  bits 0-1 the parser (Parser below); bit 2 set: the caller's
//                buffer instead of a block the decoder allocates (the message
//                parser has only the one form)
//        the rest  the encoded bytes, which end where libFuzzer's block ends,
//                so any read past them is reported
//
// What each decode must satisfy is checked below, parser by parser; every run
// ends with everything released. Any failure aborts, so libFuzzer keeps the
// input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_msg_control.h"
#include "tests/support/process_state.h"
#include "tests/unit/crypt_world.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kErrorMoreData = 234;
constexpr uint64_t kTicksPerSecond = 10000000;

enum Parser : uint8_t { kContentInfo = 0, kSigningTime = 1, kSignerInfo = 2, kNestedMessage = 3 };

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "platform_decode_fuzz: %s\n", what);
  abort();
}

using Bytes = std::vector<uint8_t>;

// ---- a block of memory and what lies inside it

struct Block {
  uintptr_t start;
  size_t size;

  bool Holds(const void* p, size_t bytes) const {
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    return at >= start && at - start <= size && bytes <= size - (at - start);
  }
  // A NUL-terminated string that ends inside the block; its length.
  size_t String(const char* text) const {
    if (text == nullptr || !Holds(text, 1)) Fail("a string outside its block");
    const size_t room = size - (reinterpret_cast<uintptr_t>(text) - start);
    const void* nul = std::memchr(text, 0, room);
    if (nul == nullptr) Fail("a string without its terminator inside its block");
    return static_cast<size_t>(static_cast<const char*>(nul) - text);
  }
};

Block BlockOf(const void* p, size_t size) { return Block{reinterpret_cast<uintptr_t>(p), size}; }

// ---- DER written canonically, for the round trips

void PutLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t octets[sizeof(size_t)];
  int count = 0;
  for (size_t rest = length; rest != 0; rest >>= 8) octets[count++] = static_cast<uint8_t>(rest);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out.push_back(octets[--count]);
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  PutLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// The content octets of an identifier given in dotted form; false when the
// text is not "a.b[.c...]" with a in 0-2, arcs of 32 bits and b < 40 below 2.
bool OidFromDotted(const std::string& dotted, Bytes* out) {
  std::vector<uint64_t> arcs;
  uint64_t arc = 0;
  bool digit = false;
  for (size_t i = 0; i <= dotted.size(); ++i) {
    if (i == dotted.size() || dotted[i] == '.') {
      if (!digit) return false;
      arcs.push_back(arc);
      arc = 0;
      digit = false;
    } else if (dotted[i] >= '0' && dotted[i] <= '9') {
      arc = arc * 10 + static_cast<uint64_t>(dotted[i] - '0');
      if (arc > 0xFFFFFFFFull + 80) return false;
      digit = true;
    } else {
      return false;
    }
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
  out->clear();
  for (size_t i = 1; i < arcs.size(); ++i) {
    uint64_t value = i == 1 ? arcs[0] * 40 + arcs[1] : arcs[i];
    uint8_t groups[10];
    int count = 0;
    do {
      groups[count++] = static_cast<uint8_t>(value & 0x7F);
      value >>= 7;
    } while (value != 0);
    while (count > 1) out->push_back(static_cast<uint8_t>(groups[--count] | 0x80));
    out->push_back(groups[0]);
  }
  return true;
}

// ---- PKCS_CONTENT_INFO

struct ContentInfo {
  std::string oid;
  Bytes content;
};

// Checks a decoded CRYPT_CONTENT_INFO inside its block and copies it out.
ContentInfo ReadContentInfo(const Block& block) {
  if (block.size < sizeof(CRYPT_CONTENT_INFO)) Fail("content info block too small");
  const auto* info = reinterpret_cast<const CRYPT_CONTENT_INFO*>(block.start);
  ContentInfo out;
  out.oid.assign(info->pszObjId, block.String(info->pszObjId));
  if (info->Content.cbData != 0) {
    if (!block.Holds(info->Content.pbData, info->Content.cbData)) Fail("content outside its block");
    out.content.assign(info->Content.pbData, info->Content.pbData + info->Content.cbData);
  } else if (info->Content.pbData != nullptr) {
    Fail("empty content with a pointer");
  }
  return out;
}

// Decodes with the allocating form or with the caller's buffer (a size query,
// a buffer one byte short, then one of exactly the size).
bool DecodeContentInfo(const uint8_t* der, DWORD length, bool callerBuffer, ContentInfo* out) {
  if (!callerBuffer) {
    CRYPT_CONTENT_INFO* info = nullptr;
    DWORD size = 0;
    if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, der, length,
                                         CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
      if (info != nullptr) Fail("a failed decode handed out a block");
      return false;
    }
    *out = ReadContentInfo(BlockOf(info, size));
    LocalFree(info);
    return true;
  }
  DWORD size = 0;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, der, length, 0, nullptr,
                                       nullptr, &size)) {
    return false;
  }
  if (size < sizeof(CRYPT_CONTENT_INFO)) Fail("the size query reports too little");
  std::vector<uint8_t> shortBuffer(size - 1);
  DWORD shortSize = size - 1;
  if (g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, der, length, 0, nullptr,
                                      shortBuffer.data(), &shortSize) ||
      GetLastError() != kErrorMoreData || shortSize != size) {
    Fail("a buffer one byte short was not refused with the size needed");
  }
  // A block of exactly the size, so that writing past it is reported.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
  DWORD filled = size;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, der, length, 0, nullptr,
                                       exact.get(), &filled) ||
      filled != size) {
    Fail("the fill disagrees with the size query");
  }
  *out = ReadContentInfo(BlockOf(exact.get(), size));
  return true;
}

// What decodes is a SEQUENCE ending in [0] (when there is content), so the
// content is the input's tail; the identifier written back the canonical way
// decodes to the same, in no more bytes than were given.
void CheckContentInfo(const uint8_t* der, DWORD length, bool callerBuffer) {
  ContentInfo info;
  if (!DecodeContentInfo(der, length, callerBuffer, &info)) return;
  if (info.content.size() > length ||
      (!info.content.empty() && std::memcmp(der + length - info.content.size(),
                                            info.content.data(), info.content.size()) != 0)) {
    Fail("the content is not the tail of the input");
  }
  Bytes oid;
  if (!OidFromDotted(info.oid, &oid)) Fail("the identifier is not in dotted form");
  Bytes body = Tlv(0x06, oid);
  if (!info.content.empty()) {
    const Bytes wrapped = Tlv(0xA0, info.content);
    body.insert(body.end(), wrapped.begin(), wrapped.end());
  }
  const Bytes again = Tlv(0x30, body);
  if (again.size() > length) Fail("the canonical form is longer than the input");
  ContentInfo second;
  if (!DecodeContentInfo(again.data(), static_cast<DWORD>(again.size()), callerBuffer, &second) ||
      second.oid != info.oid || second.content != info.content) {
    Fail("the canonical form decodes differently");
  }
}

// ---- the signing time

bool DecodeSigningTime(const uint8_t* der, DWORD length, bool callerBuffer, uint64_t* time) {
  FILETIME value = {};
  if (callerBuffer) {
    DWORD size = sizeof value;
    if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, szOID_RSA_signingTime, der, length, 0, nullptr,
                                         &value, &size)) {
      return false;
    }
    if (size != sizeof value) Fail("a signing time that is not a FILETIME");
  } else {
    FILETIME* block = nullptr;
    DWORD size = 0;
    if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, szOID_RSA_signingTime, der, length,
                                         CRYPT_DECODE_ALLOC_FLAG, nullptr, &block, &size)) {
      return false;
    }
    if (size != sizeof value) Fail("a signing time that is not a FILETIME");
    value = *block;
    LocalFree(block);
  }
  *time = (static_cast<uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
  return true;
}

unsigned Digits(const uint8_t* text, size_t count) {
  unsigned value = 0;
  for (size_t i = 0; i < count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// A decoded time is the calendar time its text spells (read back through the
// platform's own FILETIME to SYSTEMTIME conversion), and the canonical
// encoding of that time decodes to it again.
void CheckSigningTime(const uint8_t* der, DWORD length, bool callerBuffer) {
  uint64_t time = 0;
  if (!DecodeSigningTime(der, length, callerBuffer, &time)) return;

  // One element of a time type: the text is what follows its header.
  const size_t header = der[1] < 0x80 ? 2 : 2 + (der[1] & 0x7F);
  const uint8_t* text = der + header;
  const size_t textLength = length - header;
  unsigned year = 0;
  size_t at = 0;
  if (der[0] == 0x17) {
    year = Digits(text, 2);
    year += year < 50 ? 2000 : 1900;
    at = 2;
  } else if (der[0] == 0x18) {
    year = Digits(text, 4);
    at = 4;
  } else {
    Fail("a time decoded from a tag that is not a time type");
  }
  uint64_t fraction = 0;
  if (textLength > at + 11 && text[at + 10] == '.') {
    uint64_t scale = kTicksPerSecond;
    for (size_t i = at + 11; i + 1 < textLength; ++i) {
      scale /= 10;
      fraction += (text[i] - '0') * scale;
    }
  }
  const FILETIME fileTime = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  SYSTEMTIME st = {};
  if (!FileTimeToSystemTime(&fileTime, &st)) Fail("a decoded time the platform cannot convert");
  if (st.wYear != year || st.wMonth != Digits(text + at, 2) ||
      st.wDay != Digits(text + at + 2, 2) || st.wHour != Digits(text + at + 4, 2) ||
      st.wMinute != Digits(text + at + 6, 2) || st.wSecond != Digits(text + at + 8, 2) ||
      time % kTicksPerSecond != fraction) {
    Fail("the decoded time is not the time the text spells");
  }

  const Bytes again = sim::EncodeSigningTime(time);
  uint64_t second = 0;
  if (!DecodeSigningTime(again.data(), static_cast<DWORD>(again.size()), callerBuffer, &second) ||
      second != time) {
    Fail("the canonical encoding of a decoded time decodes differently");
  }
}

// ---- signer records (PKCS7_SIGNER_INFO, and a decoded message's record)

uintptr_t RoundUp8(uintptr_t at) { return (at + 7) & ~static_cast<uintptr_t>(7); }

void CheckAttributes(const Block& block, const CRYPT_ATTRIBUTES& attributes,
                     std::vector<sim::AttributeDesc>* out) {
  if (attributes.cAttr == 0) {
    if (attributes.rgAttr != nullptr) Fail("an empty attribute table with a pointer");
    return;
  }
  if (attributes.cAttr > block.size / sizeof(CRYPT_ATTRIBUTE) ||
      !block.Holds(attributes.rgAttr, attributes.cAttr * sizeof(CRYPT_ATTRIBUTE))) {
    Fail("an attribute table outside its record");
  }
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    sim::AttributeDesc copy;
    copy.oid.assign(attribute.pszObjId, block.String(attribute.pszObjId));
    if (attribute.cValue == 0) {
      // rgValue may still point where the table would be; it must stay inside
      // the record, and nothing may be read through it.
      if (attribute.rgValue != nullptr && !block.Holds(attribute.rgValue, 0)) {
        Fail("an attribute without values points outside its record");
      }
    } else if (attribute.cValue > block.size / sizeof(CRYPT_ATTR_BLOB) ||
               !block.Holds(attribute.rgValue, attribute.cValue * sizeof(CRYPT_ATTR_BLOB))) {
      Fail("a value table outside its record");
    }
    uintptr_t previousEnd = 0;
    for (DWORD j = 0; j < attribute.cValue; ++j) {
      const CRYPT_ATTR_BLOB& value = attribute.rgValue[j];
      const uintptr_t at = reinterpret_cast<uintptr_t>(value.pbData);
      // Where the nested-signature walk looks for values: the first on a
      // multiple of 8, each further one on the first at or after the end of
      // the one before.
      if (!block.Holds(value.pbData, value.cbData) || at % 8 != 0 ||
          (j > 0 && at != RoundUp8(previousEnd))) {
        Fail("a value outside its record or off the 8-byte layout");
      }
      previousEnd = at + value.cbData;
      copy.values.emplace_back(value.pbData, value.pbData + value.cbData);
    }
    out->push_back(std::move(copy));
  }
}

sim::SignerDesc CheckSignerRecord(const Block& block) {
  if (block.size < sizeof(CMSG_SIGNER_INFO) || block.start % 8 != 0) {
    Fail("a signer record too small or not on a multiple of 8");
  }
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.start);
  sim::SignerDesc signer;
  if (!block.Holds(info->Issuer.pbData, info->Issuer.cbData) ||
      !block.Holds(info->SerialNumber.pbData, info->SerialNumber.cbData)) {
    Fail("issuer or serial outside the record");
  }
  signer.issuer.assign(reinterpret_cast<const char*>(info->Issuer.pbData), info->Issuer.cbData);
  signer.serial.assign(info->SerialNumber.pbData,
                     info->SerialNumber.pbData + info->SerialNumber.cbData);
  (void)block.String(info->HashAlgorithm.pszObjId);
  (void)block.String(info->HashEncryptionAlgorithm.pszObjId);
  CheckAttributes(block, info->AuthAttrs, &signer.authAttrs);
  CheckAttributes(block, info->UnauthAttrs, &signer.unauthAttrs);
  return signer;
}

bool SameSigner(const sim::SignerDesc& a, const sim::SignerDesc& b) {
  auto same = [](const std::vector<sim::AttributeDesc>& x,
                 const std::vector<sim::AttributeDesc>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i].oid != y[i].oid || x[i].values != y[i].values) return false;
    }
    return true;
  };
  return a.issuer == b.issuer && a.serial == b.serial && same(a.authAttrs, b.authAttrs) &&
         same(a.unauthAttrs, b.unauthAttrs);
}

bool DecodeSignerInfo(const uint8_t* der, DWORD length, sim::SignerDesc* out) {
  CMSG_SIGNER_INFO* record = nullptr;
  DWORD size = 0;
  if (!g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, der, length,
                                       CRYPT_DECODE_ALLOC_FLAG, nullptr, &record, &size)) {
    if (record != nullptr) Fail("a failed decode handed out a block");
    return false;
  }
  *out = CheckSignerRecord(BlockOf(record, size));
  LocalFree(record);
  return true;
}

// The record points into itself, every part inside it; written back the
// canonical way it decodes to the same, in no more bytes than were given.
// Only the allocating form is offered: the caller's buffer is refused.
void CheckSignerInfo(const uint8_t* der, DWORD length, bool callerBuffer) {
  if (callerBuffer) {
    uint8_t buffer[sizeof(CMSG_SIGNER_INFO)];
    DWORD size = sizeof buffer;
    if (g_cryptoApi.CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, der, length, 0, nullptr,
                                        buffer, &size)) {
      Fail("a signer record was written into the caller's buffer");
    }
    return;
  }
  sim::SignerDesc signer;
  if (!DecodeSignerInfo(der, length, &signer)) return;
  const Bytes again = sim::EncodeCounterSignature(signer);
  if (again.size() > length) Fail("the canonical form is longer than the input");
  sim::SignerDesc second;
  if (!DecodeSignerInfo(again.data(), static_cast<DWORD>(again.size()), &second) ||
      !SameSigner(signer, second)) {
    Fail("the canonical form decodes differently");
  }
}

// ---- nested signatures through a message

// Registered after every reset, so that candidates naming index 0 to 2 decode;
// their records have attribute tables and values of several shapes.
void RegisterNestedSignatures() {
  sim::CertDesc cert;
  cert.subject = "Nested Signer";
  cert.issuer = "Nested CA";
  const sim::CertId id = sim::AddCertificate(cert);
  sim::SignatureDesc plain;
  plain.certs = {id};
  plain.signer = sim::SignerOf(id);
  (void)sim::EncodeNestedSignature(plain);

  sim::SignatureDesc attributed = plain;
  attributed.signer.authAttrs = {{szOID_RSA_signingTime, {sim::EncodeSigningTime(0)}}};
  attributed.signer.unauthAttrs = {
      {szOID_RSA_counterSign, {sim::EncodeCounterSignature(sim::SignerOf(id))}},
      {szOID_NESTED_SIGNATURE, {Bytes(31, 0x30), Bytes(1, 0x01), {}}}};
  (void)sim::EncodeNestedSignature(attributed);

  sim::SignatureDesc empty;
  (void)sim::EncodeNestedSignature(empty);
}

// A message either decodes the bytes whole or stays undecoded; a decoded one
// gives a signer record laid out inside its buffer, and a store.
void CheckNestedMessage(const uint8_t* der, DWORD length) {
  HCRYPTMSG message = g_cryptoApi.CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  if (message == nullptr) Fail("no message to decode into");
  const BOOL decoded = g_cryptoApi.CryptMsgUpdate(message, der, length, TRUE);
  DWORD size = 0;
  const BOOL sized =
      g_cryptoApi.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size);
  if (sized != decoded) Fail("an undecoded message has a signer, or a decoded one none");
  if (decoded) {
    if (size == 0) Fail("a decoded message reports an empty signer record");
    HLOCAL record = LocalAlloc(LPTR, size);
    DWORD filled = size;
    if (record == nullptr ||
        !g_cryptoApi.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, record, &filled) ||
        filled != size) {
      Fail("the signer record does not fill the size it reported");
    }
    (void)CheckSignerRecord(BlockOf(record, filled));
    LocalFree(record);
    HCERTSTORE store = g_cryptoApi.CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message);
    if (store == nullptr) Fail("a decoded message has no store");
    g_cryptoApi.CertCloseStore(store, 0);
  }
  g_cryptoApi.CryptMsgClose(message);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ResetProcessState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Parser parser = static_cast<Parser>(data[0] & 3);
  const bool callerBuffer = (data[0] & 4) != 0;
  // Past the selector the bytes run to the end of libFuzzer's block; an empty
  // input is handed over as a null pointer and no bytes.
  const uint8_t* der = size > 1 ? data + 1 : nullptr;
  const DWORD length = static_cast<DWORD>(size - 1);

  // The process is in its first state (see the reset at the end).
  crypt_world::ResolveCryptoApi();
  switch (parser) {
    case kContentInfo: CheckContentInfo(der, length, callerBuffer); break;
    case kSigningTime: CheckSigningTime(der, length, callerBuffer); break;
    case kSignerInfo: CheckSignerInfo(der, length, callerBuffer); break;
    case kNestedMessage:
      RegisterNestedSignatures();
      CheckNestedMessage(der, length);
      break;
  }
  if (!sim::AllReleased()) Fail("something acquired was not released, or released twice");
  // Resetting here rather than at the start leaves nothing of the run
  // allocated, so libFuzzer has no reason to run the input twice looking for
  // a leak.
  ResetProcessState();
  return 0;
}
