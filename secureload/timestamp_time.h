// Reading the generation time of an RFC 3161 time-stamp token from its DER bytes.
//
// The token is not trusted yet when this runs, so the walk reads it as a
// hostile byte string: every header, long-form length octet, identifier byte
// and content stays inside the range that holds it, positions are 32-bit and
// never wrap, and the nesting it descends into is capped. Time and stack are
// linear in the input and bounded by the cap respectively.
#pragma once

#include <cstdint>

// Maximum nesting of constructed elements the walk descends into. The range
// handed in is level 0; the content of a constructed element found at level d
// is walked as level d + 1, so at most 32 nested constructed elements are
// entered. The walk keeps the levels it waits on in a fixed array of that many
// entries instead of recursing, so its stack use is constant. A real token
// needs five (SignedData, encapContentInfo, TSTInfo, messageImprint, its
// AlgorithmIdentifier). A constructed element met at level 32 is not entered:
// the walk of the range holding it ends with 0, as for malformed bytes (below).
constexpr unsigned kTimestampMaxDepth = 32;

// der/length: DER elements one after another. insideTstInfo: nonzero when the
// range is already the TSTInfo. Returns genTime as a decimal YYYYMMDDHHMMSS, or
// 0 when none is found.
//
// The walk, one range at a time:
// - A constructed element (tag octet bit 0x20) is walked with the current flag;
//   a nonzero result is returned at once, 0 goes on with the next element.
// - Flag set: the first primitive element of tag number 24 (GeneralizedTime,
//   any class) decides the range: its time, or 0 when the time is malformed.
// - Flag clear: a primitive element of tag number 6 (any class) whose 11
//   content bytes are id-ct-TSTInfo (1.2.840.113549.1.9.16.1.4) looks at the
//   element E after it. The candidate is E, or the first element inside E when
//   E is constructed (the [0] wrapper of eContent). When the candidate's tag
//   octet is exactly 0x04 (primitive OCTET STRING) the walk of this range
//   restarts on the candidate's content with the flag set, abandoning the rest
//   of the range; otherwise E is skipped. The restart replaces the range in
//   place and cannot happen again once the flag is set, so it adds no depth.
//
// genTime: 14 ASCII digits YYYYMMDDHHMMSS, then either "Z" or "." followed by
// one or more digits and "Z" (DER drops trailing zeros from the fraction, so
// any length appears). The fraction does not change the value; bytes after the
// "Z" are not examined; the calendar is not checked. Anything else is 0, and so
// is the all-zero time.
//
// Malformed bytes: a header cut short, a long-form length of more than four
// octets, or a declared length that runs past the end of the range holding the
// element (including one that would wrap a 32-bit position) ends the walk of
// that range with 0. An enclosing range then goes on with its next element,
// as after any level that finds nothing. The same holds for the element after
// the identifier and, when that is a wrapper, for its first element: a wrapper
// whose first element runs past the wrapper yields 0 for the range holding the
// identifier. An empty wrapper holds no candidate and is skipped.
[[nodiscard]] uint64_t FindTimestampTime(const uint8_t* der, uint32_t length,
                                         uint32_t insideTstInfo);
