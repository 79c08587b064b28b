// A small DER writer for building test inputs: time-stamp tokens, nested
// ContentInfos, signer attributes, and deliberately broken variants of them.
//
// Everything is a plain byte vector and every helper returns a fresh one, so
// structures read as they nest:
//
//   using namespace der;
//   Bytes token = Sequence({Integer(3),
//                           Sequence({Oid(kOidTstInfo),
//                                     Context(0, {OctetString(tstInfo)})})});
//
// Only single-octet tags are written (tag numbers 0 to 30), which is all that
// CMS and X.509 need. Lengths are definite: Element() always writes the
// shortest form; Header() and LengthOctets() let a test choose any form or any
// value, including lengths that do not match the content that follows.
//
// Header-only; no state; nothing here checks that the result is valid DER.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace der {

using Bytes = std::vector<uint8_t>;

// Universal tag octets.
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kObjectIdentifier = 0x06;
constexpr uint8_t kUtf8String = 0x0C;
constexpr uint8_t kPrintableString = 0x13;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;

// Tag octet bits.
constexpr uint8_t kConstructed = 0x20;
constexpr uint8_t kClassContext = 0x80;

// Context-specific tag octets: [n] constructed (0xA0 | n) and primitive (0x80 | n).
constexpr uint8_t ContextTag(uint8_t number) {
  return static_cast<uint8_t>(kClassContext | kConstructed | (number & 0x1F));
}
constexpr uint8_t ContextPrimitiveTag(uint8_t number) {
  return static_cast<uint8_t>(kClassContext | (number & 0x1F));
}

// Object identifiers used by signatures and time-stamp tokens, as arcs.
using Arcs = std::initializer_list<uint32_t>;
constexpr Arcs kOidSignedData = {1, 2, 840, 113549, 1, 7, 2};
constexpr Arcs kOidData = {1, 2, 840, 113549, 1, 7, 1};
constexpr Arcs kOidTstInfo = {1, 2, 840, 113549, 1, 9, 16, 1, 4};
constexpr Arcs kOidSha256 = {2, 16, 840, 1, 101, 3, 4, 2, 1};

// Appends src to dst.
inline void Append(Bytes* dst, const Bytes& src) {
  dst->insert(dst->end(), src.begin(), src.end());
}

// The parts one after another.
inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) Append(&out, part);
  return out;
}

// Literal bytes, for hand-made (usually malformed) inputs.
inline Bytes Raw(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

// Text as its bytes, without a terminator.
inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Length octets in long form: 0x80 | octets, then `octets` big-endian octets
// (0 to 127; 0 gives the lone octet 0x80). Non-minimal forms such as 0x81 0x05
// are allowed on purpose. With more than 4 octets the value fills the last
// four behind zero octets: a form a 32-bit reader must refuse.
inline Bytes LengthOctets(uint32_t length, uint8_t octets) {
  Bytes out{static_cast<uint8_t>(0x80 | (octets & 0x7F))};
  for (uint8_t i = octets; i > 0; --i) {
    const unsigned shift = 8u * (i - 1u);
    out.push_back(shift < 32 ? static_cast<uint8_t>(length >> shift) : 0);
  }
  return out;
}

// Length octets in the shortest form: one octet below 0x80, else long form.
inline Bytes Length(uint32_t length) {
  if (length < 0x80) return Bytes{static_cast<uint8_t>(length)};
  uint8_t octets = 1;
  while (octets < 4 && (length >> (8u * octets)) != 0) ++octets;
  return LengthOctets(length, octets);
}

// A header only: the tag octet and the shortest length octets for `length`,
// whatever follows. With a length that differs from the bytes a test appends,
// it makes an element that runs past its end or stops short.
inline Bytes Header(uint8_t tag, uint32_t length) {
  Bytes out{tag};
  Append(&out, Length(length));
  return out;
}

// A complete element: tag, shortest length, content.
inline Bytes Element(uint8_t tag, const Bytes& content) {
  Bytes out = Header(tag, static_cast<uint32_t>(content.size()));
  Append(&out, content);
  return out;
}

// An element whose header declares `declared` content octets (shortest form)
// while `content` is what actually follows.
inline Bytes WithLength(uint8_t tag, uint32_t declared, const Bytes& content) {
  Bytes out = Header(tag, declared);
  Append(&out, content);
  return out;
}

// A complete element whose correct length is written in long form with
// exactly `octets` octets (see LengthOctets), for example 0x81 0x05.
inline Bytes ElementWithLengthOctets(uint8_t tag, const Bytes& content, uint8_t octets) {
  Bytes out{tag};
  Append(&out, LengthOctets(static_cast<uint32_t>(content.size()), octets));
  Append(&out, content);
  return out;
}

// A constructed element holding the parts one after another.
inline Bytes Constructed(uint8_t tag, std::initializer_list<Bytes> parts) {
  return Element(tag, Concat(parts));
}
inline Bytes Sequence(std::initializer_list<Bytes> parts) { return Constructed(kSequence, parts); }
inline Bytes Set(std::initializer_list<Bytes> parts) { return Constructed(kSet, parts); }
// [n] EXPLICIT / constructed context-specific element, for example the [0]
// that wraps eContent.
inline Bytes Context(uint8_t number, std::initializer_list<Bytes> parts) {
  return Constructed(ContextTag(number), parts);
}

// `levels` elements of tag `tag`, each the only content of the one around it,
// with `inner` at the centre. Built in time linear in the result, so deep
// nests (tens of thousands of levels) are cheap.
inline Bytes Nested(uint8_t tag, uint32_t levels, const Bytes& inner) {
  std::vector<Bytes> headers;
  headers.reserve(levels);
  uint32_t length = static_cast<uint32_t>(inner.size());
  for (uint32_t i = 0; i < levels; ++i) {
    headers.push_back(Header(tag, length));
    length += static_cast<uint32_t>(headers.back().size());
  }
  Bytes out;
  out.reserve(length);
  for (uint32_t i = levels; i > 0; --i) Append(&out, headers[i - 1]);
  Append(&out, inner);
  return out;
}

// Content octets of an OBJECT IDENTIFIER: the first two arcs as 40 * a + b,
// then every arc in base 128, high groups first with bit 0x80 set.
inline Bytes OidContent(Arcs arcs) {
  Bytes out;
  uint64_t pending = 0;
  unsigned index = 0;
  for (uint32_t arc : arcs) {
    uint64_t value = arc;
    if (index == 0) {
      pending = arc;
      ++index;
      continue;
    }
    if (index == 1) value = pending * 40 + arc;
    ++index;
    uint8_t groups[10];
    unsigned count = 0;
    do {
      groups[count++] = static_cast<uint8_t>(value & 0x7F);
      value >>= 7;
    } while (value != 0);
    while (count > 1) out.push_back(static_cast<uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
  }
  return out;
}
inline Bytes Oid(Arcs arcs) { return Element(kObjectIdentifier, OidContent(arcs)); }

inline Bytes OctetString(const Bytes& content) { return Element(kOctetString, content); }
inline Bytes Null() { return Bytes{kNull, 0x00}; }
inline Bytes Boolean(bool value) {
  return Bytes{kBoolean, 0x01, value ? uint8_t{0xFF} : uint8_t{0x00}};
}

// GeneralizedTime with the text exactly as given ("20200131123459Z",
// "20200131123459.5Z", or anything malformed a test needs).
inline Bytes GeneralizedTime(std::string_view text) {
  return Element(kGeneralizedTime, Text(text));
}
inline Bytes UtcTime(std::string_view text) { return Element(kUtcTime, Text(text)); }
inline Bytes PrintableString(std::string_view text) {
  return Element(kPrintableString, Text(text));
}
inline Bytes Utf8String(std::string_view text) { return Element(kUtf8String, Text(text)); }

// INTEGER in the shortest two's-complement form.
inline Bytes Integer(int64_t value) {
  Bytes content;
  uint64_t bits = static_cast<uint64_t>(value);
  for (int i = 7; i >= 0; --i) content.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  size_t start = 0;
  while (start + 1 < content.size() &&
         ((content[start] == 0x00 && (content[start + 1] & 0x80) == 0) ||
          (content[start] == 0xFF && (content[start + 1] & 0x80) != 0))) {
    ++start;
  }
  return Element(kInteger,
                 Bytes(content.begin() + static_cast<std::ptrdiff_t>(start), content.end()));
}

// INTEGER from unsigned big-endian magnitude bytes (serial numbers, moduli):
// a zero octet is put in front when the top bit is set, so it stays positive.
inline Bytes UnsignedInteger(const Bytes& magnitude) {
  Bytes content;
  if (magnitude.empty() || (magnitude[0] & 0x80) != 0) content.push_back(0x00);
  Append(&content, magnitude);
  return Element(kInteger, content);
}

// AlgorithmIdentifier with absent parameters.
inline Bytes Algorithm(Arcs oid) { return Sequence({Oid(oid)}); }

}  // namespace der
