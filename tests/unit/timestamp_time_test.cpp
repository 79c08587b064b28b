// FindTimestampTime over well-formed tokens, odd genTime texts, malformed bytes
// and deep nesting. Every input is copied into a heap block of exactly its size
// before the call, so under AddressSanitizer a read one byte past the input
// fails the test.
#include "secureload/timestamp_time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/der_writer.h"

namespace {

using namespace der;

constexpr uint64_t kTime = 20200131123459;
constexpr uint64_t kLaterTime = 20211224080000;

uint64_t Find(const Bytes& input, uint32_t insideTstInfo) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size()]);
  if (!input.empty()) std::memcpy(exact.get(), input.data(), input.size());
  return FindTimestampTime(exact.get(), static_cast<uint32_t>(input.size()), insideTstInfo);
}

// version, policy, messageImprint, serialNumber, genTime, then accuracy and
// nonce, as a time-stamp authority writes them.
Bytes TstInfo(const Bytes& genTime) {
  return Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                   Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0xAB))}),
                   Integer(0x1234567), genTime, Sequence({Integer(1)}), Integer(42)});
}
Bytes TstInfo(const char* text) { return TstInfo(GeneralizedTime(text)); }

// SignedData around an encapContentInfo, with certificates and a signerInfo
// (whose signing time is a UTCTime) behind it as in a real token.
Bytes SignedData(const Bytes& encapContentInfo) {
  return Sequence({Integer(3), Set({Algorithm(kOidSha256)}), encapContentInfo,
                   Context(0, {Sequence({UtcTime("200131123000Z")})}),
                   Set({Sequence({Integer(1), UtcTime("200131123459Z")})})});
}
Bytes Encap(const Bytes& eContent) { return Sequence({Oid(kOidTstInfo), eContent}); }
Bytes Token(const Bytes& tstInfo) { return SignedData(Encap(Context(0, {OctetString(tstInfo)}))); }
Bytes Token(const char* text) { return Token(TstInfo(text)); }

struct Case {
  const char* name;
  Bytes input;
  uint32_t insideTstInfo;
  uint64_t expected;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Find(c.input, c.insideTstInfo), c.expected);
  }
}

TEST(FindTimestampTime, GenTimeText) {
  struct TimeCase {
    const char* text;
    uint64_t expected;
  };
  const TimeCase cases[] = {
      {"20200131123459Z", kTime},
      // Fractions of any length are accepted (DER drops trailing zeros) and
      // never change the value.
      {"20200131123459.5Z", kTime},
      {"20200131123459.12Z", kTime},
      {"20200131123459.123Z", kTime},
      {"20200131123459.1234Z", kTime},
      {"20200131123459.000000000000000000001Z", kTime},
      {"20200131123459.Z", 0},
      {"20200131123459.", 0},
      {"20200131123459.12", 0},
      {"20200131123459.1a2Z", 0},
      {"20200131123459,123Z", 0},  // DER writes the fraction after a full stop only
      {"20200131123459.12+0100", 0},
      {"20200131123459", 0},
      {"20200131123459+0100", 0},
      {"202001311234Z", 0},
      {"2020013112345Z", 0},
      {"2020013112345xZ", 0},
      {"2020013112345/Z", 0},  // the character just below '0'
      {"20200131123459z", 0},  // only a capital Z ends the time
      {"20200131123459/5Z", 0},
      {" 20200131123459Z", 0},
      {"", 0},
      // Not checked against the calendar.
      {"20201331123459Z", 20201331123459},
      {"99991231235959Z", 99991231235959},
      // Bytes after the "Z" are not examined.
      {"20200131123459Zjunk", kTime},
      {"20200131123459.5Zjunk", kTime},
      // All zeros read as no time at all.
      {"00000000000000Z", 0},
      {"00000000000001Z", 1},
  };
  for (const TimeCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Find(Token(c.text), 0), c.expected);
    EXPECT_EQ(Find(TstInfo(c.text), 1), c.expected);
  }
}

TEST(FindTimestampTime, TokenShapes) {
  const Bytes tstInfo = TstInfo("20200131123459Z");
  const Bytes laterToken = Encap(Context(0, {OctetString(TstInfo("20211224080000Z"))}));
  const Bytes tstInfoOid = Oid(kOidTstInfo);
  RunCases({
      {"usual token", Token(tstInfo), 0, kTime},
      {"OCTET STRING directly after the identifier", SignedData(Encap(OctetString(tstInfo))), 0,
       kTime},
      {"flag true on the TSTInfo itself", tstInfo, 1, kTime},
      {"any nonzero flag means inside", tstInfo, 0x80000000u, kTime},
      {"TSTInfo without the identifier", tstInfo, 0, 0},
      {"empty range", {}, 0, 0},
      {"empty range, flag true", {}, 1, 0},
      // Times while the flag is false do not count, before or after the identifier.
      {"time before the identifier",
       Sequence({GeneralizedTime("19990101000000Z"),
                 Sequence({GeneralizedTime("19990101000000Z"), tstInfoOid,
                           Context(0, {OctetString(tstInfo)})})}),
       0, kTime},
      {"time but no identifier", Sequence({Sequence({GeneralizedTime("20200131123459Z")})}), 0, 0},
      // The candidate tag must be exactly 0x04: a constructed OCTET STRING in
      // the wrapper is not taken and the wrapper is skipped.
      {"constructed OCTET STRING in the wrapper",
       SignedData(Encap(Context(0, {Constructed(0x24, {OctetString(tstInfo)})}))), 0, 0},
      {"context-class primitive [4] as candidate",
       SignedData(Encap(Context(0, {Element(ContextPrimitiveTag(4), tstInfo)}))), 0, 0},
      // A rejected wrapper is skipped, not walked: the token inside it is not seen...
      {"wrapper skipped, not walked", SignedData(Sequence({tstInfoOid, Context(0, {laterToken})})),
       0, 0},
      // ...but a later identifier in the same range still is.
      {"later identifier after a skipped wrapper",
       Sequence({tstInfoOid, Context(0, {Sequence({})}), tstInfoOid,
                 Context(0, {OctetString(TstInfo("20211224080000Z"))})}),
       0, kLaterTime},
      {"empty wrapper is skipped",
       Sequence({tstInfoOid, Context(0, {}), tstInfoOid, OctetString(tstInfo)}), 0, kTime},
      // The restart abandons the rest of its range...
      {"restart abandons the rest of the range",
       Sequence({tstInfoOid, OctetString(Sequence({Integer(1)})), laterToken}), 0, 0},
      // ...but the enclosing range goes on when the restarted walk finds nothing.
      {"enclosing range goes on after a fruitless restart",
       Sequence({Sequence({tstInfoOid, OctetString(Sequence({Integer(1)}))}), laterToken}), 0,
       kLaterTime},
      // The first time inside the TSTInfo decides its level, even when malformed.
      {"first time decides",
       Token(Sequence({GeneralizedTime("2020"), GeneralizedTime("20211224080000Z")})), 0, 0},
      // ...its own level only: the level around it goes on.
      {"a malformed time ends only its level",
       Token(Sequence({Sequence({GeneralizedTime("2020")}), GeneralizedTime("20211224080000Z")})),
       0, kLaterTime},
      {"first time in depth-first order",
       Token(Sequence(
           {Sequence({GeneralizedTime("20211224080000Z")}), GeneralizedTime("20200131123459Z")})),
       0, kLaterTime},
      // Tag numbers are read whatever the class.
      {"context [24] counts as a time",
       Token(TstInfo(Element(ContextPrimitiveTag(24), Text("20200131123459Z")))), 0, kTime},
      {"context [6] is tested as the identifier",
       Sequence({Element(ContextPrimitiveTag(6), OidContent(kOidTstInfo)), OctetString(tstInfo)}),
       0, kTime},
      // Only bit 0x20 makes an element constructed, and tag number 25 is no time.
      {"primitive BIT STRING is not entered",
       Token(Sequence({Element(0x03, GeneralizedTime("20211224080000Z")),
                       GeneralizedTime("20200131123459Z")})),
       0, kTime},
      {"tag number 25 is not a time",
       Token(Sequence({Element(0x19, Text("20211224080000Z")), GeneralizedTime("20200131123459Z")})),
       0, kTime},
      {"constructed [24] is walked, not parsed",
       Token(Sequence({Constructed(0x38, {}), GeneralizedTime("20200131123459Z")})), 0, kTime},
      // The identifier's bytes under tag numbers 5 and 7 are no identifier.
      {"tag 5 with the identifier's bytes",
       Sequence({Element(0x05, OidContent(kOidTstInfo)), OctetString(tstInfo)}), 0, 0},
      {"tag 7 with the identifier's bytes",
       Sequence({Element(0x07, OidContent(kOidTstInfo)), OctetString(tstInfo)}), 0, 0},
      // Nor is an INTEGER (tag 2, below OCTET STRING's 4) a candidate.
      {"INTEGER after the identifier", Sequence({tstInfoOid, Element(0x02, tstInfo)}), 0, 0},
      {"other identifier",
       SignedData(Sequence({Oid(kOidData), Context(0, {OctetString(tstInfo)})})), 0, 0},
      {"identifier one arc short",
       Sequence({Oid({1, 2, 840, 113549, 1, 9, 16, 1}), OctetString(tstInfo)}), 0, 0},
      {"identifier one arc long",
       Sequence({Oid({1, 2, 840, 113549, 1, 9, 16, 1, 4, 1}), OctetString(tstInfo)}), 0, 0},
      // The element after the identifier must be in the identifier's own range.
      {"identifier last in its range",
       Sequence({Sequence({tstInfoOid}), Context(0, {OctetString(tstInfo)})}), 0, 0},
      // Length forms: 0x80 is length 0; long forms need not be minimal.
      {"0x80 length",
       SignedData(Sequence({Raw({0x05, 0x80}), tstInfoOid, Context(0, {OctetString(tstInfo)})})), 0,
       kTime},
      {"0x81 0x05 length",
       SignedData(Sequence({ElementWithLengthOctets(kNull, Bytes(5, 0), 1), tstInfoOid,
                            Context(0, {OctetString(tstInfo)})})),
       0, kTime},
      {"four-octet lengths throughout",
       ElementWithLengthOctets(
           kSequence,
           Concat({tstInfoOid,
                   ElementWithLengthOctets(ContextTag(0),
                                           ElementWithLengthOctets(kOctetString, tstInfo, 4), 4)}),
           4),
       0, kTime},
  });
}

TEST(FindTimestampTime, MalformedBytes) {
  const Bytes tstInfo = TstInfo("20200131123459Z");
  const Bytes tstInfoOid = Oid(kOidTstInfo);
  const Bytes time = GeneralizedTime("20200131123459Z");
  std::vector<Case> cases = {
      {"tag only", Raw({0x30}), 0, 0},
      {"long form, no length octets", Raw({0x30, 0x81}), 0, 0},
      {"long form, length octets cut", Raw({0x30, 0x84, 0x00, 0x00, 0x00}), 0, 0},
      {"time header cut", Raw({0x18, 0x82, 0x00}), 1, 0},
      {"length past the end", WithLength(kSequence, 40, time), 1, 0},
      {"time content past the end", WithLength(kGeneralizedTime, 18, Text("20200131123459.5")), 1,
       0},
      // A 0x85 length would fit in 32 bits here, yet more than four octets are refused.
      {"0x85 length", Concat({Raw({0x30, 0x85, 0, 0, 0, 0, 17}), time}), 1, 0},
      {"0x88 length", Concat({Raw({0x30, 0x88, 0, 0, 0, 0, 0, 0, 0, 17}), time}), 1, 0},
      {"0xFF length", Concat({Raw({0x30, 0xFF}), Bytes(127, 0), time}), 1, 0},
      // A bad element ends the walk of its range; the enclosing range goes on.
      {"bad length inside, token after",
       Concat({Sequence({Raw({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF})}), Token(tstInfo)}), 0, kTime},
      {"bad length before the token in the same range",
       Concat({Raw({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), Token(tstInfo)}), 0, 0},
      // The identifier must lie inside its range: here its SEQUENCE ends after
      // five of its bytes and the rest follows outside.
      {"identifier cut short", Raw({0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7}), 0, 0},
      {"identifier runs past its SEQUENCE",
       Concat({Raw({0x30, 0x07}), tstInfoOid, Context(0, {OctetString(tstInfo)})}), 0, 0},
      {"nothing after the identifier", tstInfoOid, 0, 0},
      {"wrapper header cut", Concat({tstInfoOid, Raw({0xA0})}), 0, 0},
      {"wrapper past the end",
       Concat({tstInfoOid, WithLength(ContextTag(0), 300, OctetString(tstInfo))}), 0, 0},
      {"OCTET STRING past the end", Concat({tstInfoOid, WithLength(kOctetString, 300, tstInfo)}), 0,
       0},
      {"OCTET STRING header cut inside its wrapper",
       Concat({tstInfoOid, Element(ContextTag(0), Raw({0x04}))}), 0, 0},
      // The wrapper holds only the OCTET STRING's header and two bytes; the
      // TSTInfo lies after the wrapper, inside the enclosing SEQUENCE.
      {"OCTET STRING runs past its wrapper",
       Sequence({tstInfoOid, WithLength(ContextTag(0), 4, OctetString(tstInfo))}), 0, 0},
  };
  // Four-octet lengths that overflow the range, or would wrap a 32-bit
  // position back onto (or just past) the element's own start.
  for (uint32_t huge : {0x80000000u, 0xFFFFFFF9u, 0xFFFFFFFAu, 0xFFFFFFFBu, 0xFFFFFFFFu}) {
    const Bytes header = Concat({Raw({0x30}), LengthOctets(huge, 4)});
    cases.push_back({"huge constructed length", Concat({header, time}), 1, 0});
    cases.push_back({"huge length after the identifier",
                     Sequence({tstInfoOid, Raw({0x04}), LengthOctets(huge, 4), tstInfo}), 0, 0});
    cases.push_back({"huge time length",
                     Concat({Raw({0x18}), LengthOctets(huge, 4), Text("20200131123459Z")}), 1, 0});
  }
  RunCases(cases);
}

TEST(FindTimestampTime, NestingDepth) {
  const Bytes time = GeneralizedTime("20200131123459Z");
  const Bytes later = GeneralizedTime("20211224080000Z");
  // This token's time lies three levels down (SignedData, encapContentInfo,
  // a TSTInfo of primitives only): the restart inside encapContentInfo adds
  // no level, and must not start counting afresh either.
  const Bytes token = Token(Sequence({Integer(1), time}));
  RunCases({
      {"32 levels", Nested(kSequence, kTimestampMaxDepth, time), 1, kTime},
      {"33 levels", Nested(kSequence, kTimestampMaxDepth + 1, time), 1, 0},
      // The cap is 32, not merely whatever the constant says.
      {"32 levels, counted", Nested(kSequence, 32, time), 1, kTime},
      {"33 levels, counted", Nested(kSequence, 33, time), 1, 0},
      {"token 29 levels down", Nested(kSequence, kTimestampMaxDepth - 3, token), 0, kTime},
      {"token 30 levels down", Nested(kSequence, kTimestampMaxDepth - 2, token), 0, 0},
      {"10,000 levels", Nested(kSequence, 10000, time), 1, 0},
      {"token 10,000 levels down", Nested(kSequence, 10000, token), 0, 0},
      {"10,000 wrappers after the identifier",
       Sequence({Oid(kOidTstInfo),
                 Nested(ContextTag(0), 10000, OctetString(TstInfo("20200131123459Z")))}),
       0, 0},
      // Too deep ends only the level that meets it: the walk comes back up and
      // goes on.
      {"too deep, then a time", Concat({Nested(kSequence, 10000, time), later}), 1, kLaterTime},
  });
}

TEST(FindTimestampTime, NullPointer) { EXPECT_EQ(FindTimestampTime(nullptr, 0, 1), 0u); }

}  // namespace
