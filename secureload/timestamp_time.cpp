// The genTime of a time-stamp token, read straight from the DER bytes of its
// SignedData without a decoder. Every read goes through DerRange, which checks
// the remaining length before it touches a byte, so nothing outside the bytes
// handed in is ever read, whatever they declare.
#include "secureload/timestamp_time.h"

namespace {

constexpr uint8_t kConstructedBit = 0x20;
constexpr uint8_t kTagNumberMask = 0x1F;
constexpr uint8_t kTagNumberObjectIdentifier = 6;
constexpr uint8_t kTagNumberGeneralizedTime = 24;
// The candidate must be exactly a universal, primitive OCTET STRING.
constexpr uint8_t kTagOctetString = 0x04;
// Long-form lengths larger than this do not fit the 32-bit length of a range.
constexpr uint8_t kMaxLengthOctets = 4;

// id-ct-TSTInfo, 1.2.840.113549.1.9.16.1.4, as identifier content octets.
constexpr uint8_t kTstInfoIdentifier[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                          0x01, 0x09, 0x10, 0x01, 0x04};
constexpr uint32_t kTstInfoIdentifierLength = sizeof(kTstInfoIdentifier);

// YYYYMMDDHHMMSS.
constexpr uint32_t kTimeDigits = 14;

// A view of bytes that owns nothing. Reads take bytes off the front and fail,
// leaving the view as it was, when fewer bytes remain than they need.
struct DerRange {
  const uint8_t* data;
  uint32_t length;
};

struct DerElement {
  uint8_t tag;
  DerRange content;
};

[[nodiscard]] bool IsEmpty(const DerRange& range) { return range.length == 0; }

[[nodiscard]] bool TakeBytes(DerRange* range, uint32_t count, DerRange* out) {
  if (count > range->length) return false;
  out->data = range->data;
  out->length = count;
  range->data += count;
  range->length -= count;
  return true;
}

[[nodiscard]] bool TakeByte(DerRange* range, uint8_t* out) {
  DerRange one;
  if (!TakeBytes(range, 1, &one)) return false;
  *out = one.data[0];
  return true;
}

// Takes one element (tag octet, definite length, content) off the front of
// range. Fails on a header cut short, more than four length octets, or content
// longer than what remains; the comparison is against the remaining length, so
// no position is ever computed that could wrap.
[[nodiscard]] bool TakeElement(DerRange* range, DerElement* out) {
  DerRange rest = *range;
  uint8_t tag = 0;
  uint8_t first = 0;
  if (!TakeByte(&rest, &tag) || !TakeByte(&rest, &first)) return false;
  uint32_t length = first;
  if (first & 0x80) {
    const uint8_t octets = first & 0x7F;
    if (octets > kMaxLengthOctets) return false;
    length = 0;
    for (uint8_t i = 0; i < octets; ++i) {
      uint8_t next = 0;
      if (!TakeByte(&rest, &next)) return false;
      length = (length << 8) | next;
    }
  }
  DerRange content;
  if (!TakeBytes(&rest, length, &content)) return false;
  out->tag = tag;
  out->content = content;
  *range = rest;
  return true;
}

[[nodiscard]] bool IsConstructed(const DerElement& element) {
  return (element.tag & kConstructedBit) != 0;
}

[[nodiscard]] uint8_t TagNumber(const DerElement& element) { return element.tag & kTagNumberMask; }

[[nodiscard]] bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Tag number 6 in any class; the walk asks only of primitive elements.
[[nodiscard]] bool IsTstInfoIdentifier(const DerElement& element) {
  if (TagNumber(element) != kTagNumberObjectIdentifier ||
      element.content.length != kTstInfoIdentifierLength) {
    return false;
  }
  for (uint32_t i = 0; i < kTstInfoIdentifierLength; ++i) {
    if (element.content.data[i] != kTstInfoIdentifier[i]) return false;
  }
  return true;
}

// YYYYMMDDHHMMSS then "Z", or "." one or more digits "Z". Time-stamp
// authorities write fractions of any length because DER drops their trailing
// zeros; the fraction never changes the value.
[[nodiscard]] uint64_t ParseGeneralizedTime(DerRange text) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < kTimeDigits; ++i) {
    uint8_t c = 0;
    if (!TakeByte(&text, &c) || !IsDigit(c)) return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  uint8_t c = 0;
  if (!TakeByte(&text, &c)) return 0;
  if (c == 'Z') return value;
  if (c != '.') return 0;
  uint32_t fractionDigits = 0;
  while (TakeByte(&text, &c) && IsDigit(c)) ++fractionDigits;
  // The loop stopped on the first non-digit, or on the end of the text with c
  // still the last digit read (or the "."), which is not "Z".
  if (fractionDigits == 0 || c != 'Z') return 0;
  return value;
}

// One level of the walk. depth is the number of constructed elements entered
// to reach range; see kTimestampMaxDepth.
[[nodiscard]] uint64_t WalkRange(DerRange range, bool insideTstInfo, unsigned depth) {
  while (!IsEmpty(range)) {
    DerElement element;
    if (!TakeElement(&range, &element)) return 0;

    if (IsConstructed(element)) {
      if (depth >= kTimestampMaxDepth) return 0;
      const uint64_t found = WalkRange(element.content, insideTstInfo, depth + 1);
      if (found != 0) return found;
      continue;
    }

    if (insideTstInfo) {
      // The first time inside the TSTInfo decides this range, good or bad.
      if (TagNumber(element) == kTagNumberGeneralizedTime) {
        return ParseGeneralizedTime(element.content);
      }
      continue;
    }

    if (!IsTstInfoIdentifier(element)) continue;

    // eContent follows its type: either the OCTET STRING itself or the [0]
    // wrapper around it. range now starts at that element.
    DerElement wrapper;
    if (!TakeElement(&range, &wrapper)) return 0;
    DerElement candidate = wrapper;
    if (IsConstructed(wrapper)) {
      DerRange inside = wrapper.content;
      if (IsEmpty(inside)) continue;
      if (!TakeElement(&inside, &candidate)) return 0;
    }
    if (candidate.tag != kTagOctetString) continue;  // the wrapper is skipped, not walked

    // The TSTInfo is here: what is left of this range no longer matters. The
    // flag is set from now on, so this happens at most once per level.
    range = candidate.content;
    insideTstInfo = true;
  }
  return 0;
}

}  // namespace

uint64_t FindTimestampTime(const uint8_t* der, uint32_t length, uint32_t insideTstInfo) {
  if (der == nullptr) return 0;
  return WalkRange(DerRange{der, length}, insideTstInfo != 0, 0);
}
