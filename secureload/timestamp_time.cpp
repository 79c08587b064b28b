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
// longer than what remains. Every count is compared with what remains before a
// byte is read, and no position is ever computed that could wrap. This is the
// walk's hot path, so it works on plain locals.
[[nodiscard]] inline bool TakeElement(DerRange* range, DerElement* out) {
  const uint8_t* p = range->data;
  uint32_t left = range->length;
  if (left < 2) return false;
  const uint8_t tag = p[0];
  uint32_t length = p[1];
  p += 2;
  left -= 2;
  if (length & 0x80) {
    const uint32_t octets = length & 0x7F;
    if (octets > kMaxLengthOctets || octets > left) return false;
    length = 0;
    for (uint32_t i = 0; i < octets; ++i) length = (length << 8) | p[i];
    p += octets;
    left -= octets;
  }
  if (length > left) return false;
  out->tag = tag;
  out->content = DerRange{p, length};
  range->data = p + length;
  range->length = left - length;
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

// A level of the walk that waits for a level it entered: what is left of its
// range, its flag and its depth.
struct PendingLevel {
  DerRange rest;
  bool insideTstInfo;
  unsigned depth;
};

// The walk over nested ranges, kept on a fixed stack of its own rather than in
// recursion: entering a constructed element saves what is left of the current
// range; a range that is used up, or whose walk ends early (a malformed element,
// a time that does not parse, the depth cap), hands back to the nearest level
// that still has elements, which goes on with its next one. A level with
// nothing left after the element it entered is not saved at all: it could only
// hand back in turn. A time found at any level is the result at once. depth is
// the number of constructed elements entered to reach range; see
// kTimestampMaxDepth. At most one level per depth waits, so the stack never
// holds more than kTimestampMaxDepth entries.
[[nodiscard]] uint64_t Walk(DerRange range, bool insideTstInfo) {
  PendingLevel pending[kTimestampMaxDepth];
  unsigned waiting = 0;
  unsigned depth = 0;
  for (;;) {
    DerElement element;
    if (!TakeElement(&range, &element)) {
      // The range is used up, or its next element is malformed: either way this
      // level found nothing.
      if (waiting == 0) return 0;
      --waiting;
      range = pending[waiting].rest;
      insideTstInfo = pending[waiting].insideTstInfo;
      depth = pending[waiting].depth;
      continue;
    }

    if (IsConstructed(element)) {
      if (depth >= kTimestampMaxDepth) {
        range.length = 0;  // too deep: this level ends with nothing
        continue;
      }
      if (!IsEmpty(range)) pending[waiting++] = PendingLevel{range, insideTstInfo, depth};
      ++depth;
      range = element.content;
      continue;
    }

    if (insideTstInfo) {
      // The first time inside the TSTInfo decides this level, good or bad.
      if (TagNumber(element) == kTagNumberGeneralizedTime) {
        const uint64_t time = ParseGeneralizedTime(element.content);
        if (time != 0) return time;
        range.length = 0;
      }
      continue;
    }

    if (!IsTstInfoIdentifier(element)) continue;

    // eContent follows its type: either the OCTET STRING itself or the [0]
    // wrapper around it. range now starts at that element.
    DerElement wrapper;
    if (!TakeElement(&range, &wrapper)) {
      range.length = 0;
      continue;
    }
    DerElement candidate = wrapper;
    if (IsConstructed(wrapper)) {
      DerRange inside = wrapper.content;
      if (IsEmpty(inside)) continue;
      if (!TakeElement(&inside, &candidate)) {
        range.length = 0;
        continue;
      }
    }
    if (candidate.tag != kTagOctetString) continue;  // the wrapper is skipped, not walked

    // The TSTInfo is here: what is left of this level no longer matters. The
    // flag is set from now on, so this happens at most once per level, and the
    // level keeps its depth.
    range = candidate.content;
    insideTstInfo = true;
  }
}

}  // namespace

uint64_t FindTimestampTime(const uint8_t* der, uint32_t length, uint32_t insideTstInfo) {
  if (der == nullptr) return 0;
  return Walk(DerRange{der, length}, insideTstInfo != 0);
}
