// The certificate part of the simulated Windows: certificates and their
// contexts, stores with an order, display names, issuer lookup, the chain
// engine, the clock, and CryptDecodeObjectEx for the three structures the
// signer check decodes (signing time, counter-signer, content info).
//
// How a certificate is identified: a signer record names its signer's
// certificate by Issuer and SerialNumber. In this world the Issuer blob is the
// bytes of the issuer's display name (no terminator) and SerialNumber the
// serial bytes as given; CertInfoOf below builds a certificate's CERT_INFO that
// way, SignerOf copies the same two values, and CertFindCertificateInStore
// compares exactly these blobs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

using internal::Count;
using internal::Counter;
using internal::TraceLine;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kErrorMoreData = 234;
constexpr HRESULT kSelfSigned = static_cast<HRESULT>(0x80092007UL);  // CRYPT_E_SELF_SIGNED
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = 86400 * kTicksPerSecond;
// 1601-01-01, the FILETIME epoch, counted in days from 1970-01-01.
constexpr int64_t kFileTimeEpochDays = -134774;

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// ------------------------------------------------------------------ calendar

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  unsigned month, day, hour, minute, second;
  uint64_t fraction;  // 100 ns ticks within the second
};

Civil CivilFromFileTime(uint64_t ft) {
  const int64_t z = static_cast<int64_t>(ft / kTicksPerDay) + kFileTimeEpochDays + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  Civil c{};
  c.day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
  const uint64_t rest = ft % kTicksPerDay;
  const uint64_t seconds = rest / kTicksPerSecond;
  c.hour = static_cast<unsigned>(seconds / 3600);
  c.minute = static_cast<unsigned>(seconds / 60 % 60);
  c.second = static_cast<unsigned>(seconds % 60);
  c.fraction = rest % kTicksPerSecond;
  return c;
}

unsigned DaysInMonth(int64_t year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// ------------------------------------------------------------------ DER

// A view of bytes that owns nothing; every read checks what is left first.
struct Der {
  const uint8_t* p;
  size_t n;

  // Reads one element with the given tag; its content goes to *content.
  bool Read(uint8_t tag, Der* content) {
    uint8_t actual = 0;
    return ReadAny(&actual, content) && actual == tag;
  }
  bool ReadAny(uint8_t* tag, Der* content) {
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
    *content = Der{p + header, length};
    p += header + length;
    n -= header + length;
    return true;
  }
  bool Peek(uint8_t tag) const { return n > 0 && p[0] == tag; }
};

void PutLength(std::vector<uint8_t>& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t octets[4];
  int count = 0;
  for (size_t rest = length; rest != 0; rest >>= 8) octets[count++] = static_cast<uint8_t>(rest);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out.push_back(octets[--count]);
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> out{tag};
  PutLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool ReadDigits(const uint8_t* text, size_t count, unsigned* value) {
  unsigned v = 0;
  for (size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// A DER UTCTime (YYMMDDHHMMSSZ) or GeneralizedTime (YYYYMMDDHHMMSS[.f]Z, at
// most seven fraction digits) as a FILETIME value.
bool DecodeTime(const uint8_t* encoded, size_t size, uint64_t* fileTime) {
  Der in{encoded, size};
  uint8_t tag = 0;
  Der c{};
  if (!in.ReadAny(&tag, &c) || in.n != 0) return false;
  unsigned year = 0;
  size_t at = 0;
  if (tag == 0x17) {
    if (c.n != 13 || !ReadDigits(c.p, 2, &year)) return false;
    year += year < 50 ? 2000 : 1900;
    at = 2;
  } else if (tag == 0x18) {
    if (c.n < 15 || !ReadDigits(c.p, 4, &year)) return false;
    at = 4;
  } else {
    return false;
  }
  unsigned month, day, hour, minute, second;
  if (c.n < at + 11 || !ReadDigits(c.p + at, 2, &month) || !ReadDigits(c.p + at + 2, 2, &day) ||
      !ReadDigits(c.p + at + 4, 2, &hour) || !ReadDigits(c.p + at + 6, 2, &minute) ||
      !ReadDigits(c.p + at + 8, 2, &second)) {
    return false;
  }
  at += 10;
  uint64_t fraction = 0;
  if (tag == 0x18 && c.p[at] == '.') {
    const size_t first = ++at;
    uint64_t scale = kTicksPerSecond;
    while (at < c.n && c.p[at] >= '0' && c.p[at] <= '9' && at - first < 7) {
      scale /= 10;
      fraction += (c.p[at] - '0') * scale;
      ++at;
    }
    if (at == first) return false;
  }
  if (at + 1 != c.n || c.p[at] != 'Z') return false;
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month, day) - kFileTimeEpochDays;
  *fileTime = static_cast<uint64_t>(days) * kTicksPerDay +
              (hour * 3600ull + minute * 60ull + second) * kTicksPerSecond + fraction;
  return true;
}

// The dotted form of an OBJECT IDENTIFIER's content; false when malformed or
// an arc does not fit 32 bits.
bool DottedOid(Der content, std::string* dotted) {
  if (content.n == 0) return false;
  dotted->clear();
  bool first = true;
  while (content.n > 0) {
    uint64_t arc = 0;
    if (content.p[0] == 0x80) return false;  // DER forbids a leading zero group
    for (;;) {
      if (content.n == 0) return false;
      const uint8_t byte = content.p[0];
      ++content.p;
      --content.n;
      arc = (arc << 7) | (byte & 0x7F);
      if (arc > 0xFFFFFFFFull) return false;
      if (!(byte & 0x80)) break;
    }
    if (first) {
      const uint64_t top = arc < 80 ? arc / 40 : 2;
      *dotted = std::to_string(top) + "." + std::to_string(arc - top * 40);
      first = false;
    } else {
      *dotted += "." + std::to_string(arc);
    }
  }
  return true;
}

// ------------------------------------------------------------------ the world

struct SimStore;

struct Cert {
  CertDesc desc;
  std::vector<BYTE> issuerBlob;
  std::vector<BYTE> serial;
  std::vector<BYTE> key;
  std::vector<BYTE> subjectBlob;
  // What the certificate is, byte for byte: made from every field of its
  // description, so two certificates that say the same are one encoding and
  // any difference is another.
  std::vector<BYTE> encoded;
};

// One certificate as one store holds it. The probe sees &context.
struct SimCertContext {
  CERT_CONTEXT context;
  CERT_INFO info;
  CertId cert;
  SimStore* store;
  size_t position;  // in the store's order
  int holds;        // references the probe holds
  int chainRefs;    // references chain contexts hold
};

struct SimStore {
  int handles = 0;  // open handles; the store's own references live as long
  bool engine = false;
  std::vector<std::unique_ptr<SimCertContext>> contexts;
};

struct SimChain {
  CERT_CHAIN_CONTEXT context{};
  std::vector<CERT_SIMPLE_CHAIN> simple;
  std::vector<PCERT_SIMPLE_CHAIN> simplePointers;
  std::vector<std::vector<CERT_CHAIN_ELEMENT>> elements;
  std::vector<std::vector<PCERT_CHAIN_ELEMENT>> elementPointers;
  std::vector<SimCertContext*> held;
  bool freed = false;
  DWORD policyError = 0;
  bool policyCallFails = false;
};

struct CertWorld {
  std::vector<std::unique_ptr<Cert>> certs;
  std::vector<std::unique_ptr<SimStore>> stores;
  SimStore engineStore;  // where the chain engine takes the certificates above the signer
  std::map<CertId, ChainDesc> chains;
  std::vector<std::unique_ptr<SimChain>> chainContexts;
  std::map<const CERT_CONTEXT*, SimCertContext*> contexts;
  uint64_t now = 0;
};

CertWorld& C() {
  static CertWorld world;
  return world;
}

// 2025-01-01 00:00:00 UTC.
constexpr uint64_t kDefaultNow = 133801632000000000ull;

Cert* CertOf(CertId id) {
  if (id < 0 || static_cast<size_t>(id) >= C().certs.size()) return nullptr;
  return C().certs[id].get();
}

SimCertContext* ContextOf(PCCERT_CONTEXT cert) {
  auto it = C().contexts.find(cert);
  return it == C().contexts.end() ? nullptr : it->second;
}

SimStore* StoreOf(HCERTSTORE store) {
  for (const auto& s : C().stores) {
    if (s.get() == store) return s.get();
  }
  return nullptr;
}

SimCertContext* AddContext(SimStore* store, CertId id) {
  Cert* cert = CertOf(id);
  auto entry = std::make_unique<SimCertContext>();
  SimCertContext* ctx = entry.get();
  std::memset(&ctx->context, 0, sizeof ctx->context);
  std::memset(&ctx->info, 0, sizeof ctx->info);
  ctx->info.dwVersion = 2;
  ctx->info.SerialNumber = {static_cast<DWORD>(cert->serial.size()), cert->serial.data()};
  ctx->info.Issuer = {static_cast<DWORD>(cert->issuerBlob.size()), cert->issuerBlob.data()};
  ctx->info.Subject = {static_cast<DWORD>(cert->subjectBlob.size()), cert->subjectBlob.data()};
  ctx->info.NotBefore = {static_cast<DWORD>(cert->desc.notBefore),
                         static_cast<DWORD>(cert->desc.notBefore >> 32)};
  ctx->info.NotAfter = {static_cast<DWORD>(cert->desc.notAfter),
                        static_cast<DWORD>(cert->desc.notAfter >> 32)};
  ctx->info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(cert->key.size()),
                                              cert->key.data(), cert->desc.unusedBits};
  ctx->context.dwCertEncodingType = X509_ASN_ENCODING;
  ctx->context.pbCertEncoded = cert->encoded.data();
  ctx->context.cbCertEncoded = static_cast<DWORD>(cert->encoded.size());
  ctx->context.pCertInfo = &ctx->info;
  ctx->context.hCertStore = store;
  ctx->cert = id;
  ctx->store = store;
  ctx->position = store->contexts.size();
  ctx->holds = 0;
  ctx->chainRefs = 0;
  C().contexts[&ctx->context] = ctx;
  store->contexts.push_back(std::move(entry));
  return ctx;
}

// A context can be read while someone keeps it: the probe, a chain, or its
// store while the store is open.
bool Usable(const SimCertContext* ctx) {
  return ctx->holds > 0 || ctx->chainRefs > 0 || ctx->store->handles > 0;
}

// Whether the key of `issuer` signed the certificate `subject` describes.
bool Signed(const CertDesc& subject, CertId issuer) {
  return subject.signedBy == kSignedByNamedIssuer || subject.signedBy == issuer;
}

const std::string& SubjectOf(const SimCertContext* ctx) { return CertOf(ctx->cert)->desc.subject; }

std::string NameForTrace(PCCERT_CONTEXT cert) {
  const SimCertContext* ctx = ContextOf(cert);
  return ctx ? "\"" + SubjectOf(ctx) + "\"" : std::string(cert ? "?" : "(none)");
}

PCCERT_CONTEXT Hold(SimCertContext* ctx) {
  ++ctx->holds;
  Count(Counter::kCertContexts, 1);
  return &ctx->context;
}

// Gives back a hold the probe had; a context it did not hold is a bad release.
void Release(PCCERT_CONTEXT cert) {
  SimCertContext* ctx = ContextOf(cert);
  if (ctx == nullptr || ctx->holds <= 0) {
    Count(Counter::kBadReleases, 1);
    return;
  }
  --ctx->holds;
  Count(Counter::kCertContexts, -1);
}

bool BlobEquals(const CRYPT_INTEGER_BLOB& blob, const std::vector<BYTE>& bytes) {
  if (blob.cbData != bytes.size()) return false;
  return blob.cbData == 0 ||
         (blob.pbData != nullptr && std::memcmp(blob.pbData, bytes.data(), bytes.size()) == 0);
}

bool Empty(const CRYPT_INTEGER_BLOB& blob) { return blob.cbData == 0 && blob.pbData == nullptr; }
bool Empty(const CRYPT_BIT_BLOB& blob) {
  return blob.cbData == 0 && blob.pbData == nullptr && blob.cUnusedBits == 0;
}
bool Empty(const CRYPT_ALGORITHM_IDENTIFIER& id) {
  return id.pszObjId == nullptr && Empty(id.Parameters);
}
bool Empty(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

// Field by field: a CERT_INFO's padding says nothing about what was filled.
bool OnlyIssuerAndSerial(const CERT_INFO& info) {
  return info.dwVersion == 0 && Empty(info.SignatureAlgorithm) && Empty(info.NotBefore) &&
         Empty(info.NotAfter) && Empty(info.Subject) &&
         Empty(info.SubjectPublicKeyInfo.Algorithm) && Empty(info.SubjectPublicKeyInfo.PublicKey) &&
         Empty(info.IssuerUniqueId) && Empty(info.SubjectUniqueId) && info.cExtension == 0 &&
         info.rgExtension == nullptr;
}

// ------------------------------------------------------------------ decoders

// Hands a decoded structure of `size` bytes to the caller, the way
// CryptDecodeObjectEx does: into a local-heap block with the ALLOC flag, else
// into the caller's buffer (or just the size, when there is none). `fill`
// writes the structure at the address given.
template <typename Fill>
BOOL Deliver(DWORD flags, void* out, DWORD* outSize, size_t size, Fill fill) {
  if (outSize == nullptr || size > 0xFFFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & CRYPT_DECODE_ALLOC_FLAG) {
    if (out == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    void* block = LocalAlloc(LPTR, size);
    if (block == nullptr) return FALSE;
    fill(static_cast<uint8_t*>(block));
    *static_cast<void**>(out) = block;
    *outSize = static_cast<DWORD>(size);
    return TRUE;
  }
  if (out == nullptr) {
    *outSize = static_cast<DWORD>(size);
    return TRUE;
  }
  if (*outSize < size) {
    *outSize = static_cast<DWORD>(size);
    SetLastError(kErrorMoreData);
    return FALSE;
  }
  std::memset(out, 0, size);
  fill(static_cast<uint8_t*>(out));
  *outSize = static_cast<DWORD>(size);
  return TRUE;
}

BOOL DecodeSigningTime(const BYTE* encoded, DWORD size, DWORD flags, void* out, DWORD* outSize) {
  uint64_t value = 0;
  if (!DecodeTime(encoded, size, &value)) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  return Deliver(flags, out, outSize, sizeof(FILETIME), [&](uint8_t* at) {
    FILETIME ft{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    std::memcpy(at, &ft, sizeof ft);
  });
}

// The counter-signer encoding of EncodeCounterSignature:
//   SEQUENCE { INTEGER 1,
//              SEQUENCE { UTF8String issuer, INTEGER serial },
//              [0] { Attribute... } OPTIONAL,   authenticated
//              [1] { Attribute... } OPTIONAL }  unauthenticated
//   Attribute ::= SEQUENCE { UTF8String dotted-oid, SET { OCTET STRING value... } }
std::vector<uint8_t> EncodeAttributes(uint8_t tag, const std::vector<AttributeDesc>& attrs) {
  std::vector<uint8_t> list;
  for (const AttributeDesc& attr : attrs) {
    std::vector<uint8_t> values;
    for (const auto& value : attr.values) {
      const auto tlv = Tlv(0x04, value);
      values.insert(values.end(), tlv.begin(), tlv.end());
    }
    const auto one = Tlv(0x30, Concat({Tlv(0x0C, Bytes(attr.oid)), Tlv(0x31, values)}));
    list.insert(list.end(), one.begin(), one.end());
  }
  return Tlv(tag, list);
}

bool DecodeAttributes(Der list, std::vector<AttributeDesc>* attrs) {
  while (list.n > 0) {
    Der attr{}, oid{}, values{};
    if (!list.Read(0x30, &attr) || !attr.Read(0x0C, &oid) || !attr.Read(0x31, &values) ||
        attr.n != 0) {
      return false;
    }
    AttributeDesc desc;
    desc.oid.assign(reinterpret_cast<const char*>(oid.p), oid.n);
    while (values.n > 0) {
      Der value{};
      if (!values.Read(0x04, &value)) return false;
      desc.values.emplace_back(value.p, value.p + value.n);
    }
    attrs->push_back(std::move(desc));
  }
  return true;
}

bool DecodeCounterSigner(const BYTE* encoded, DWORD size, SignerDesc* signer) {
  Der in{encoded, size};
  Der body{}, version{}, id{}, issuer{}, serial{};
  if (!in.Read(0x30, &body) || in.n != 0) return false;
  if (!body.Read(0x02, &version) || version.n != 1 || version.p[0] != 1) return false;
  if (!body.Read(0x30, &id) || !id.Read(0x0C, &issuer) || !id.Read(0x02, &serial) || id.n != 0) {
    return false;
  }
  signer->issuer.assign(reinterpret_cast<const char*>(issuer.p), issuer.n);
  signer->serial.assign(serial.p, serial.p + serial.n);
  Der attrs{};
  if (body.Peek(0xA0) &&
      (!body.Read(0xA0, &attrs) || !DecodeAttributes(attrs, &signer->authAttrs))) {
    return false;
  }
  if (body.Peek(0xA1) &&
      (!body.Read(0xA1, &attrs) || !DecodeAttributes(attrs, &signer->unauthAttrs))) {
    return false;
  }
  return body.n == 0;
}

BOOL DecodeSignerInfo(const BYTE* encoded, DWORD size, DWORD flags, void* out, DWORD* outSize) {
  SignerDesc signer;
  if (!DecodeCounterSigner(encoded, size, &signer)) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  // The record points into itself, so it can only be handed over whole: the
  // ALLOC form is the one this world supports.
  if (!(flags & CRYPT_DECODE_ALLOC_FLAG) || out == nullptr || outSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD recordSize = 0;
  HLOCAL record = internal::BuildSignerRecord(signer, &recordSize);
  if (record == nullptr) return FALSE;
  *static_cast<HLOCAL*>(out) = record;
  *outSize = recordSize;
  return TRUE;
}

// ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER,
//                            content [0] EXPLICIT ANY OPTIONAL }
// into one block: the CRYPT_CONTENT_INFO, the dotted identifier, then the
// content bytes (what [0] wraps), which Content points at.
BOOL DecodeContentInfo(const BYTE* encoded, DWORD size, DWORD flags, void* out, DWORD* outSize) {
  Der in{encoded, size};
  Der body{}, oid{}, content{};
  std::string dotted;
  bool ok = encoded != nullptr && in.Read(0x30, &body) && in.n == 0 && body.Read(0x06, &oid) &&
            DottedOid(oid, &dotted);
  if (ok && body.n > 0) ok = body.Read(0xA0, &content) && body.n == 0;
  if (!ok) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  const size_t oidAt = sizeof(CRYPT_CONTENT_INFO);
  const size_t contentAt = oidAt + dotted.size() + 1;
  const size_t total = contentAt + content.n;
  return Deliver(flags, out, outSize, total, [&](uint8_t* at) {
    CRYPT_CONTENT_INFO info{};
    std::memcpy(at + oidAt, dotted.c_str(), dotted.size() + 1);
    info.pszObjId = reinterpret_cast<LPSTR>(at + oidAt);
    info.Content.cbData = static_cast<DWORD>(content.n);
    info.Content.pbData = content.n ? at + contentAt : nullptr;
    if (content.n) std::memcpy(at + contentAt, content.p, content.n);
    std::memcpy(at, &info, sizeof info);
  });
}

// The simulated indirect data: SEQUENCE { UTF8String data kind, UTF8String
// digest algorithm, OCTET STRING image digest } into one block: the
// SPC_INDIRECT_DATA_CONTENT, both identifiers, then the digest.
BOOL DecodeIndirectData(const BYTE* encoded, DWORD size, DWORD flags, void* out,
                        DWORD* outSize) {
  Der in{encoded, size};
  Der body{}, data{}, algorithm{}, digest{};
  const bool ok = encoded != nullptr && in.Read(0x30, &body) && in.n == 0 &&
                  body.Read(0x0C, &data) && body.Read(0x0C, &algorithm) &&
                  body.Read(0x04, &digest) && body.n == 0;
  if (!ok) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  const size_t dataAt = sizeof(SPC_INDIRECT_DATA_CONTENT);
  const size_t algorithmAt = dataAt + data.n + 1;
  const size_t digestAt = algorithmAt + algorithm.n + 1;
  return Deliver(flags, out, outSize, digestAt + digest.n, [&](uint8_t* at) {
    SPC_INDIRECT_DATA_CONTENT content{};
    if (data.n) std::memcpy(at + dataAt, data.p, data.n);
    if (algorithm.n) std::memcpy(at + algorithmAt, algorithm.p, algorithm.n);
    if (digest.n) std::memcpy(at + digestAt, digest.p, digest.n);
    content.Data.pszObjId = reinterpret_cast<LPSTR>(at + dataAt);
    content.DigestAlgorithm.pszObjId = reinterpret_cast<LPSTR>(at + algorithmAt);
    content.Digest.cbData = static_cast<DWORD>(digest.n);
    content.Digest.pbData = digest.n ? at + digestAt : nullptr;
    std::memcpy(at, &content, sizeof content);
  });
}

// What the Authenticode chain policy makes of a chain's trust status.
DWORD PolicyErrorOf(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return static_cast<DWORD>(CERT_E_EXPIRED);
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return 0x800B0110u;  // CERT_E_WRONG_USAGE
  return 0;
}

std::string StructTypeName(LPCSTR structType) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(structType);
  if (value <= 0xFFFF) return std::to_string(value);
  return structType;
}

}  // namespace

// ------------------------------------------------------------------ control

CertId AddCertificate(CertDesc desc) {
  auto cert = std::make_unique<Cert>();
  cert->issuerBlob.assign(desc.issuer.begin(), desc.issuer.end());
  cert->subjectBlob.assign(desc.subject.begin(), desc.subject.end());
  cert->serial = desc.serial;
  cert->key = desc.publicKey;
  {
    auto field = [&](const std::vector<uint8_t>& bytes) {
      cert->encoded.push_back(0x04);
      PutLength(cert->encoded, bytes.size());
      cert->encoded.insert(cert->encoded.end(), bytes.begin(), bytes.end());
    };
    auto number = [&](uint64_t value) {
      std::vector<uint8_t> bytes;
      for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
      field(bytes);
    };
    field(cert->subjectBlob);
    field(cert->issuerBlob);
    field(cert->serial);
    field(cert->key);
    number(desc.unusedBits);
    number(desc.notBefore);
    number(desc.notAfter);
    number(static_cast<uint64_t>(static_cast<int64_t>(desc.signedBy)));
    // Exactly as long as the certificate: a read past its end shows under the
    // address sanitizer.
    cert->encoded.shrink_to_fit();
  }
  cert->desc = std::move(desc);
  C().certs.push_back(std::move(cert));
  return static_cast<CertId>(C().certs.size() - 1);
}

const CertDesc& CertificateDesc(CertId cert) { return CertOf(cert)->desc; }

void SetCurrentTime(uint64_t fileTime) { C().now = fileTime; }
uint64_t CurrentTime() { return C().now; }

SignerDesc SignerOf(CertId cert) {
  SignerDesc signer;
  signer.issuer = CertOf(cert)->desc.issuer;
  signer.serial = CertOf(cert)->desc.serial;
  return signer;
}

std::vector<uint8_t> EncodeSigningTime(uint64_t fileTime) {
  const Civil c = CivilFromFileTime(fileTime);
  char text[40];
  if (c.fraction == 0 && c.year >= 1950 && c.year < 2050) {
    std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ",
                  static_cast<unsigned>(c.year % 100), c.month, c.day, c.hour, c.minute, c.second);
    return Tlv(0x17, Bytes(text));
  }
  if (c.year > 9999) return {};  // beyond GeneralizedTime: nothing that decodes
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", static_cast<unsigned>(c.year),
                c.month, c.day, c.hour, c.minute, c.second);
  std::string value = text;
  if (c.fraction != 0) {
    std::snprintf(text, sizeof text, ".%07llu", static_cast<unsigned long long>(c.fraction));
    std::string fraction = text;
    while (fraction.back() == '0') fraction.pop_back();  // DER drops trailing zeros
    value += fraction;
  }
  return Tlv(0x18, Bytes(value + "Z"));
}

std::vector<uint8_t> EncodeCounterSignature(const SignerDesc& counterSigner) {
  std::vector<uint8_t> body =
      Concat({Tlv(0x02, {1}), Tlv(0x30, Concat({Tlv(0x0C, Bytes(counterSigner.issuer)),
                                                Tlv(0x02, counterSigner.serial)}))});
  if (!counterSigner.authAttrs.empty()) {
    body = Concat({body, EncodeAttributes(0xA0, counterSigner.authAttrs)});
  }
  if (!counterSigner.unauthAttrs.empty()) {
    body = Concat({body, EncodeAttributes(0xA1, counterSigner.unauthAttrs)});
  }
  return Tlv(0x30, body);
}

void SetChain(CertId signer, ChainDesc chain) { C().chains[signer] = std::move(chain); }

std::vector<uint8_t> EncodeIndirectData(const IndirectDataDesc& indirect) {
  return Tlv(0x30, Concat({Tlv(0x0C, Bytes(indirect.dataOid)), Tlv(0x0C, Bytes(indirect.digestOid)),
                           Tlv(0x04, indirect.imageDigest)}));
}

namespace internal {

HCERTSTORE OpenStoreOf(const std::vector<CertId>& certs) {
  auto store = std::make_unique<SimStore>();
  store->handles = 1;
  for (CertId id : certs) {
    if (CertOf(id) != nullptr) AddContext(store.get(), id);
  }
  C().stores.push_back(std::move(store));
  Count(Counter::kStores, 1);
  return C().stores.back().get();
}

bool IsSignerCertificate(PCCERT_CONTEXT cert, const SignerDesc& signer) {
  SimCertContext* ctx = ContextOf(cert);
  if (ctx == nullptr || !Usable(ctx)) return false;
  const Cert* c = CertOf(ctx->cert);
  return c->desc.issuer == signer.issuer && c->serial == signer.serial;
}

}  // namespace internal

namespace {

void ResetCertWorld() {
  CertWorld& w = C();
  w.chainContexts.clear();
  w.stores.clear();
  w.engineStore.contexts.clear();
  w.engineStore.engine = true;
  w.contexts.clear();
  w.chains.clear();
  w.certs.clear();
  w.now = kDefaultNow;
  using internal::RegisterSystemExport;
  RegisterSystemExport("crypt32.dll", "CertCloseStore", reinterpret_cast<void*>(&::CertCloseStore));
  RegisterSystemExport("crypt32.dll", "CertFreeCertificateContext",
                       reinterpret_cast<void*>(&::CertFreeCertificateContext));
  RegisterSystemExport("crypt32.dll", "CertFindCertificateInStore",
                       reinterpret_cast<void*>(&::CertFindCertificateInStore));
  RegisterSystemExport("crypt32.dll", "CertGetNameStringW",
                       reinterpret_cast<void*>(&::CertGetNameStringW));
  RegisterSystemExport("crypt32.dll", "CryptDecodeObjectEx",
                       reinterpret_cast<void*>(&::CryptDecodeObjectEx));
  RegisterSystemExport("crypt32.dll", "CertGetIssuerCertificateFromStore",
                       reinterpret_cast<void*>(&::CertGetIssuerCertificateFromStore));
  RegisterSystemExport("crypt32.dll", "CertGetCertificateChain",
                       reinterpret_cast<void*>(&::CertGetCertificateChain));
  RegisterSystemExport("crypt32.dll", "CertFreeCertificateChain",
                       reinterpret_cast<void*>(&::CertFreeCertificateChain));
  RegisterSystemExport("crypt32.dll", "CertVerifyTimeValidity",
                       reinterpret_cast<void*>(&::CertVerifyTimeValidity));
  RegisterSystemExport("crypt32.dll", "CertVerifyCertificateChainPolicy",
                       reinterpret_cast<void*>(&::CertVerifyCertificateChainPolicy));
}

const internal::WorldPart kCertPart{ResetCertWorld};

DWORD StatusAt(const std::vector<std::vector<DWORD>>& statuses, size_t chain, size_t element) {
  if (chain >= statuses.size() || element >= statuses[chain].size()) return 0;
  return statuses[chain][element];
}

SimCertContext* EngineContextOf(CertId id) {
  for (const auto& ctx : C().engineStore.contexts) {
    if (ctx->cert == id) return ctx.get();
  }
  return AddContext(&C().engineStore, id);
}

}  // namespace
}  // namespace sim

// ------------------------------------------------------------------ crypt32

using sim::C;

BOOL WINAPI CertCloseStore(HCERTSTORE store, DWORD flags) {
  sim::internal::TraceLine("CertCloseStore " + sim::Hex(flags));
  sim::SimStore* s = sim::StoreOf(store);
  if (s == nullptr || s->handles <= 0) {
    sim::Count(sim::Counter::kBadReleases, 1);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (--s->handles == 0) sim::Count(sim::Counter::kStores, -1);
  sim::internal::AfterRelease();
  return TRUE;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT cert) {
  if (cert == nullptr) return TRUE;
  sim::internal::TraceLine("CertFreeCertificateContext " + sim::NameForTrace(cert));
  sim::Release(cert);
  sim::internal::AfterRelease();
  return TRUE;
}

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE store, DWORD certEncodingType,
                                                 DWORD findFlags, DWORD findType,
                                                 const void* findPara, PCCERT_CONTEXT prevCert) {
  const auto* info = static_cast<const CERT_INFO*>(findPara);
  sim::internal::TraceLine("CertFindCertificateInStore " + sim::Hex(certEncodingType) + " " +
                           sim::Hex(findFlags) + " " + sim::Hex(findType) + " " +
                           (info == nullptr                   ? "info=(null)"
                            : sim::OnlyIssuerAndSerial(*info) ? "info=issuer+serial"
                                                              : "info=more") +
                           " prev=" + sim::NameForTrace(prevCert));
  sim::SimStore* s = sim::StoreOf(store);
  if (s == nullptr || s->handles <= 0) {
    sim::Count(sim::Counter::kBadReleases, 1);  // a store that is not open
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t from = 0;
  if (prevCert != nullptr) {
    sim::SimCertContext* prev = sim::ContextOf(prevCert);
    if (prev == nullptr || prev->store != s) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    from = prev->position + 1;
    sim::Release(prevCert);
  }
  if (findType != CERT_FIND_SUBJECT_CERT || info == nullptr ||
      !(certEncodingType & X509_ASN_ENCODING)) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
  }
  for (size_t i = from; i < s->contexts.size(); ++i) {
    sim::SimCertContext* ctx = s->contexts[i].get();
    const sim::Cert* cert = sim::CertOf(ctx->cert);
    if (sim::BlobEquals(info->Issuer, cert->issuerBlob) &&
        sim::BlobEquals(info->SerialNumber, cert->serial)) {
      return sim::Hold(ctx);
    }
  }
  SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return nullptr;
}

// Names are kept as UTF-8 and given out as the UTF-16 the platform holds,
// every character of them, NULs inside a name included (a byte that is not
// UTF-8 becomes U+FFFD, as the platform's conversion makes it). The count
// returned is the whole name's and its terminator's, also when the buffer cut
// it; what is written is cut to the buffer and always terminated.
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT cert, DWORD type, DWORD flags, void*,
                                LPWSTR nameString, DWORD nameStringSize) {
  sim::SimCertContext* ctx = sim::ContextOf(cert);
  sim::internal::TraceLine("CertGetNameStringW " + sim::NameForTrace(cert) + " " + sim::Hex(type) +
                           " " + sim::Hex(flags));
  std::string name;
  if (ctx == nullptr || !sim::Usable(ctx)) {
    sim::Count(sim::Counter::kBadReleases, 1);  // read after the last reference went
  } else if (type == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    const sim::CertDesc& desc = sim::CertOf(ctx->cert)->desc;
    name = (flags & CERT_NAME_ISSUER_FLAG) ? desc.issuer : desc.subject;
  }
  const std::wstring wide = sim::internal::WideFromUtf8(name);
  const DWORD whole = static_cast<DWORD>(wide.size() + 1);
  if (nameString == nullptr || nameStringSize == 0) return whole;
  const size_t copied = std::min<size_t>(wide.size(), nameStringSize - 1);
  std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(copied), nameString);
  nameString[copied] = 0;
  return copied == wide.size() ? whole : static_cast<DWORD>(copied + 1);
}

PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE store, PCCERT_CONTEXT subject,
                                                        PCCERT_CONTEXT prevIssuer, DWORD* flags) {
  sim::internal::TraceLine("CertGetIssuerCertificateFromStore " + sim::NameForTrace(subject) +
                           " prev=" + sim::NameForTrace(prevIssuer) +
                           " flags=" + (flags ? sim::Hex(*flags) : std::string("(null)")));
  sim::SimStore* s = sim::StoreOf(store);
  sim::SimCertContext* subjectCtx = sim::ContextOf(subject);
  if (s == nullptr || s->handles <= 0 || subjectCtx == nullptr || !sim::Usable(subjectCtx)) {
    sim::Count(sim::Counter::kBadReleases, 1);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (flags == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t from = 0;
  if (prevIssuer != nullptr) {
    sim::SimCertContext* prev = sim::ContextOf(prevIssuer);
    if (prev == nullptr || prev->store != s) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    from = prev->position + 1;
    sim::Release(prevIssuer);
  }
  const sim::CertDesc& desc = sim::CertOf(subjectCtx->cert)->desc;
  if (desc.subject == desc.issuer) {
    SetLastError(static_cast<DWORD>(sim::kSelfSigned));
    return nullptr;
  }
  for (size_t i = from; i < s->contexts.size(); ++i) {
    sim::SimCertContext* ctx = s->contexts[i].get();
    if (sim::CertOf(ctx->cert)->desc.subject != desc.issuer) continue;
    // Asked to check the signature, the lookup clears the flag only when the
    // certificate it found signed the subject; it is returned either way.
    if ((*flags & CERT_STORE_SIGNATURE_FLAG) && sim::Signed(desc, ctx->cert)) {
      *flags &= ~static_cast<DWORD>(CERT_STORE_SIGNATURE_FLAG);
    }
    return sim::Hold(ctx);
  }
  SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return nullptr;
}

BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, LPFILETIME time,
                                    HCERTSTORE additionalStore, PCERT_CHAIN_PARA chainPara,
                                    DWORD flags, LPVOID reserved,
                                    PCCERT_CHAIN_CONTEXT* chainContext) {
  std::string para = "(null)";
  if (chainPara != nullptr) {
    para = std::to_string(chainPara->cbSize) + "/" +
           std::to_string(chainPara->RequestedUsage.dwType) + "/" +
           std::to_string(chainPara->RequestedUsage.Usage.cUsageIdentifier) +
           (chainPara->RequestedUsage.Usage.rgpszUsageIdentifier ? "/ids" : "/no-ids");
  }
  sim::internal::TraceLine(
      "CertGetCertificateChain " + sim::Hex(reinterpret_cast<uintptr_t>(engine)) + " " +
      sim::NameForTrace(cert) + " time=" + (time ? "given" : "now") +
      " store=" + (additionalStore ? "given" : "none") + " para=" + para +
      " flags=" + sim::Hex(flags) + " reserved=" + (reserved ? "given" : "none"));
  sim::SimCertContext* signer = sim::ContextOf(cert);
  if (chainContext == nullptr || chainPara == nullptr || signer == nullptr ||
      !sim::Usable(signer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *chainContext = nullptr;
  sim::ChainDesc desc;
  desc.simpleChains = {{signer->cert}};
  auto chosen = C().chains.find(signer->cert);
  if (chosen != C().chains.end()) desc = chosen->second;
  if (!desc.builds) {
    SetLastError(desc.error);
    return FALSE;
  }
  if (desc.gap == sim::ChainDesc::Gap::kNoContext) return TRUE;
  auto chain = std::make_unique<sim::SimChain>();
  const size_t count = desc.simpleChains.size();
  chain->simple.resize(count);
  chain->elements.resize(count);
  chain->elementPointers.resize(count);
  CERT_TRUST_STATUS contextStatus = {};
  for (size_t i = 0; i < count; ++i) {
    const auto& ids = desc.simpleChains[i];
    CERT_TRUST_STATUS simpleStatus = {};
    chain->elements[i].resize(ids.size());
    for (size_t j = 0; j < ids.size(); ++j) {
      sim::SimCertContext* ctx =
          (j == 0 && ids[j] == signer->cert) ? signer : sim::EngineContextOf(ids[j]);
      ++ctx->chainRefs;
      chain->held.push_back(ctx);
      CERT_CHAIN_ELEMENT& element = chain->elements[i][j];
      std::memset(&element, 0, sizeof element);
      element.cbSize = sizeof element;
      element.pCertContext = &ctx->context;
      element.TrustStatus.dwErrorStatus = sim::StatusAt(desc.elementErrors, i, j);
      element.TrustStatus.dwInfoStatus = sim::StatusAt(desc.elementInfos, i, j);
      simpleStatus.dwErrorStatus |= element.TrustStatus.dwErrorStatus;
      chain->elementPointers[i].push_back(&element);
    }
    if (i < desc.chainErrors.size()) simpleStatus.dwErrorStatus |= desc.chainErrors[i];
    contextStatus.dwErrorStatus |= simpleStatus.dwErrorStatus;
    CERT_SIMPLE_CHAIN& simple = chain->simple[i];
    std::memset(&simple, 0, sizeof simple);
    simple.cbSize = sizeof simple;
    simple.TrustStatus = simpleStatus;
    simple.cElement = static_cast<DWORD>(ids.size());
    simple.rgpElement = chain->elementPointers[i].data();
    chain->simplePointers.push_back(&simple);
  }
  chain->policyError = desc.policyError;
  chain->policyCallFails = desc.policyCallFails;
  chain->context.cbSize = sizeof chain->context;
  chain->context.TrustStatus = contextStatus;
  chain->context.cChain =
      static_cast<DWORD>(desc.countedChains < 0 ? count : static_cast<size_t>(desc.countedChains));
  chain->context.rgpChain = chain->simplePointers.data();
  if (desc.gap == sim::ChainDesc::Gap::kNoTable) chain->context.rgpChain = nullptr;
  if (desc.gap == sim::ChainDesc::Gap::kNullFirstChain && count != 0) {
    chain->simplePointers[0] = nullptr;
  }
  *chainContext = &chain->context;
  C().chainContexts.push_back(std::move(chain));
  sim::Count(sim::Counter::kChainContexts, 1);
  return TRUE;
}

VOID WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chainContext) {
  // No context is no chain the engine gave, and the call makes no promise for
  // one: handing it back is counted as a bad release.
  if (chainContext == nullptr) {
    sim::Count(sim::Counter::kBadReleases, 1);
    return;
  }
  sim::internal::TraceLine("CertFreeCertificateChain");
  for (const auto& chain : C().chainContexts) {
    if (&chain->context != chainContext) continue;
    if (chain->freed) break;
    chain->freed = true;
    for (sim::SimCertContext* ctx : chain->held) --ctx->chainRefs;
    sim::Count(sim::Counter::kChainContexts, -1);
    sim::internal::AfterRelease();
    return;
  }
  sim::Count(sim::Counter::kBadReleases, 1);
}

BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR policyOid, PCCERT_CHAIN_CONTEXT chainContext,
                                             PCERT_CHAIN_POLICY_PARA policyPara,
                                             PCERT_CHAIN_POLICY_STATUS policyStatus) {
  sim::internal::TraceLine("CertVerifyCertificateChainPolicy " + sim::StructTypeName(policyOid));
  const sim::SimChain* found = nullptr;
  for (const auto& chain : C().chainContexts) {
    if (&chain->context == chainContext && !chain->freed) found = chain.get();
  }
  if (found == nullptr || policyPara == nullptr || policyStatus == nullptr ||
      policyOid != CERT_CHAIN_POLICY_AUTHENTICODE) {
    if (found == nullptr) sim::Count(sim::Counter::kBadReleases, 1);  // not a live chain
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (found->policyCallFails) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  policyStatus->dwError = found->policyError != 0
                              ? found->policyError
                              : sim::PolicyErrorOf(found->context.TrustStatus.dwErrorStatus);
  policyStatus->lChainIndex = policyStatus->dwError ? 0 : -1;
  policyStatus->lElementIndex = -1;
  return TRUE;
}

LONG WINAPI CertVerifyTimeValidity(LPFILETIME timeToVerify, PCERT_INFO certInfo) {
  sim::internal::TraceLine(std::string("CertVerifyTimeValidity ") +
                           (timeToVerify ? "given" : "now"));
  if (certInfo == nullptr) return 1;
  auto value = [](const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  };
  const uint64_t t = timeToVerify ? value(*timeToVerify) : sim::CurrentTime();
  if (t < value(certInfo->NotBefore)) return -1;
  if (t > value(certInfo->NotAfter)) return 1;
  return 0;
}

BOOL WINAPI CryptDecodeObjectEx(DWORD certEncodingType, LPCSTR structType, const BYTE* encoded,
                                DWORD encodedSize, DWORD flags, PCRYPT_DECODE_PARA,
                                void* structInfo, DWORD* structInfoSize) {
  sim::internal::TraceLine("CryptDecodeObjectEx " + sim::Hex(certEncodingType) + " " +
                           sim::StructTypeName(structType) + " " + sim::Hex(flags) + " " +
                           std::to_string(encodedSize));
  if ((certEncodingType & sim::kEncoding) == 0 || structType == nullptr ||
      (encoded == nullptr && encodedSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (structType == PKCS7_SIGNER_INFO) {
    return sim::DecodeSignerInfo(encoded, encodedSize, flags, structInfo, structInfoSize);
  }
  if (structType == PKCS_CONTENT_INFO) {
    return sim::DecodeContentInfo(encoded, encodedSize, flags, structInfo, structInfoSize);
  }
  if (structType == SPC_INDIRECT_DATA_CONTENT_STRUCT) {
    return sim::DecodeIndirectData(encoded, encodedSize, flags, structInfo, structInfoSize);
  }
  if (reinterpret_cast<uintptr_t>(structType) > 0xFFFF &&
      std::strcmp(structType, szOID_RSA_signingTime) == 0) {
    return sim::DecodeSigningTime(encoded, encodedSize, flags, structInfo, structInfoSize);
  }
  SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));  // no decoder for this type here
  return FALSE;
}
