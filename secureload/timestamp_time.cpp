// The genTime of a time-stamp token, read straight from the DER bytes of its
// SignedData without a decoder. Every read goes through the byte cursor, which
// checks the remaining length before it touches a byte, so nothing outside the
// bytes handed in is ever read, whatever they declare.
#include "secureload/timestamp_time.h"

#include "secureload/byte_cursor.h"

namespace {

constexpr uint8_t kConstructedBit = 0x20;
constexpr uint8_t kTagNumberMask = 0x1F;
constexpr uint8_t kTagNumberObjectIdentifier = 6;
constexpr uint8_t kTagNumberGeneralizedTime = 24;
// The candidate must be exactly a universal, primitive OCTET STRING.
constexpr uint8_t kTagOctetString = 0x04;

// id-ct-TSTInfo, 1.2.840.113549.1.9.16.1.4, as identifier content octets.
constexpr uint8_t kTstInfoIdentifier[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                          0x01, 0x09, 0x10, 0x01, 0x04};
constexpr uint32_t kTstInfoIdentifierLength = sizeof(kTstInfoIdentifier);

// YYYYMMDDHHMMSS.
constexpr uint32_t kTimeDigits = 14;

struct DerElement {
  uint8_t tag;
  ByteCursor content;
};

// One element off the front of range. A long-form length of zero octets
// reads as an empty content here: the walk has always taken it so, and a
// range that holds one goes on with its next element.
[[nodiscard]] inline bool TakeElement(ByteCursor* range, DerElement* out) {
  return range->ReadElement(&out->tag, &out->content, ByteCursor::kZeroOctetsAreEmpty);
}

[[nodiscard]] bool IsConstructed(const DerElement& element) {
  return (element.tag & kConstructedBit) != 0;
}

[[nodiscard]] uint8_t TagNumber(const DerElement& element) { return element.tag & kTagNumberMask; }

[[nodiscard]] bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Tag number 6 in any class; the walk asks only of primitive elements.
[[nodiscard]] bool IsTstInfoIdentifier(const DerElement& element) {
  return TagNumber(element) == kTagNumberObjectIdentifier &&
         element.content.size() == kTstInfoIdentifierLength &&
         element.content.SameAt(0, kTstInfoIdentifier, kTstInfoIdentifierLength);
}

// YYYYMMDDHHMMSS then "Z", or "." one or more digits "Z". Time-stamp
// authorities write fractions of any length because DER drops their trailing
// zeros; the fraction never changes the value.
[[nodiscard]] uint64_t ParseGeneralizedTime(ByteCursor text) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < kTimeDigits; ++i) {
    uint8_t c = 0;
    if (!text.ReadByte(&c) || !IsDigit(c)) return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  uint8_t c = 0;
  if (!text.ReadByte(&c)) return 0;
  if (c == 'Z') return value;
  if (c != '.') return 0;
  uint32_t fractionDigits = 0;
  while (text.ReadByte(&c) && IsDigit(c)) ++fractionDigits;
  // The loop stopped on the first non-digit, or on the end of the text with c
  // still the last digit read (or the "."), which is not "Z".
  if (fractionDigits == 0 || c != 'Z') return 0;
  return value;
}

// A level of the walk that waits for a level it entered: what is left of its
// range, its flag and its depth.
struct PendingLevel {
  ByteCursor rest;
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
[[nodiscard]] uint64_t Walk(ByteCursor range, bool insideTstInfo) {
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
        range = ByteCursor();  // too deep: this level ends with nothing
        continue;
      }
      if (!range.Empty()) pending[waiting++] = PendingLevel{range, insideTstInfo, depth};
      ++depth;
      range = element.content;
      continue;
    }

    if (insideTstInfo) {
      // The first time inside the TSTInfo decides this level, good or bad.
      if (TagNumber(element) == kTagNumberGeneralizedTime) {
        const uint64_t time = ParseGeneralizedTime(element.content);
        if (time != 0) return time;
        range = ByteCursor();
      }
      continue;
    }

    if (!IsTstInfoIdentifier(element)) continue;

    // eContent follows its type: either the OCTET STRING itself or the [0]
    // wrapper around it. range now starts at that element.
    DerElement wrapper;
    if (!TakeElement(&range, &wrapper)) {
      range = ByteCursor();
      continue;
    }
    DerElement candidate = wrapper;
    if (IsConstructed(wrapper)) {
      ByteCursor inside = wrapper.content;
      if (inside.Empty()) continue;
      if (!TakeElement(&inside, &candidate)) {
        range = ByteCursor();
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
  return Walk(ByteCursor(der, length), insideTstInfo != 0);
}
