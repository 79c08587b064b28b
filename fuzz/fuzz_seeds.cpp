// Writes the seed corpora of nested_walk_fuzz, signer_name_chains_fuzz and
// platform_decode_fuzz:
//
//   fuzz_seeds <corpus root> [signature.der...]
//
// into <corpus root>/<job>/. Synthetic seeds are built with the tests' DER
// writer in the shapes the simulated platform produces and in the odd shapes
// the targets must survive. Each signature given (the DER PKCS #7 blob of a
// signed file, as `osslsigncode extract-signature` writes it) adds real
// attribute values: nested signatures, RFC 3161 time-stamp tokens, signing
// times and PKCS #9 counter-signatures, wherever they sit in the signature
// (nested signatures and tokens carry attributes of their own).
//
// Every file starts with the selector bytes its target reads first; see the
// input layout at the top of each target.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/der_writer.h"

namespace {

using namespace der;

// ---------------------------------------------------------------- output

struct Writer {
  std::string root;
  bool ok = true;

  void Put(const std::string& job, const std::string& name, const Bytes& prefix,
           const Bytes& body) {
    const std::filesystem::path dir = std::filesystem::path(root) / job;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    const std::string path = (dir / name).string();
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
      ok = false;
      return;
    }
    const bool written = fwrite(prefix.data(), 1, prefix.size(), file) == prefix.size() &&
                         fwrite(body.data(), 1, body.size(), file) == body.size();
    ok = (fclose(file) == 0) && written && ok;
  }
};

// ---------------------------------------------------------------- nested signatures

const Arcs kOidNested = {1, 3, 6, 1, 4, 1, 311, 2, 4, 1};
const Arcs kOidTimestampToken = {1, 3, 6, 1, 4, 1, 311, 3, 3, 1};
const Arcs kOidSigningTime = {1, 2, 840, 113549, 1, 9, 5};
const Arcs kOidCounterSign = {1, 2, 840, 113549, 1, 9, 6};

void PutLength2(Bytes& out, size_t at, size_t length) {
  out[at] = 0x82;
  out[at + 1] = static_cast<uint8_t>(length >> 8);
  out[at + 2] = static_cast<uint8_t>(length);
}

// A simulated nested signature naming registry entry `index`: the real header
// 30 82 LL LL 06 09 <signedData>, then [0] 82 ll ll, OCTET STRING 82 ll ll
// "SIMN" and the index, padded with zeros to the content length L (at least 27).
Bytes Simulated(uint32_t index, uint16_t contentLength = 27) {
  const size_t length = contentLength < 27 ? 27 : contentLength;
  Bytes out(length + 4, 0);
  out[0] = kSequence;
  PutLength2(out, 1, length);
  const Bytes oid = Oid(kOidSignedData);
  std::copy(oid.begin(), oid.end(), out.begin() + 4);
  out[15] = ContextTag(0);
  PutLength2(out, 16, out.size() - 19);
  out[19] = kOctetString;
  PutLength2(out, 20, out.size() - 23);
  const char magic[] = {'S', 'I', 'M', 'N'};
  std::copy(magic, magic + 4, out.begin() + 23);
  for (int i = 0; i < 4; ++i) out[27 + i] = static_cast<uint8_t>(index >> (24 - 8 * i));
  return out;
}

// A candidate the walk's header test accepts, with content length L (0 to
// 12 keeps it within its 15 header bytes plus one), that decodes to nothing.
Bytes MinimalCandidate(uint8_t contentLength) {
  Bytes out = Concat({Raw({kSequence, 0x82, 0x00, contentLength}), Oid(kOidSignedData)});
  out.resize(contentLength + 4u < out.size() ? out.size() : contentLength + 4u, 0);
  return out;
}

// Values laid out one after another from a multiple of 8, each on the first
// multiple of 8 at or after the end of the one before, as the platform lays
// out an attribute's values in a signer record; `residue` bytes in front.
Bytes LayOut(const std::vector<Bytes>& values, size_t residue = 0) {
  Bytes out(residue, 0xEE);
  for (const Bytes& value : values) {
    while (out.size() % 8 != residue % 8) out.push_back(0);
    Append(&out, value);
  }
  return out;
}

// world byte (policy in bits 0-1: 0 named chains, 1 pinned chain, 2 none;
// bit 2: trust refused), then the offset selector, little endian.
Bytes WalkPrefix(uint8_t world, uint16_t selector) {
  return Bytes{world, static_cast<uint8_t>(selector), static_cast<uint8_t>(selector >> 8)};
}

constexpr uint8_t kNamedChains = 0;
constexpr uint8_t kPinned = 1;
constexpr uint8_t kNoGate = 2;
constexpr uint8_t kTrustRefused = 4;

void NestedWalkSeeds(Writer& w, const std::vector<Bytes>& realNested) {
  const std::string job = "nested_walk";
  // Registry: 0 refused (certificate missing), 1 plain signer, 2 named chain
  // with a counter-signature, 3 named chain with a time-stamp token.
  w.Put(job, "refused", WalkPrefix(kNoGate, 0), Simulated(0));
  w.Put(job, "accepted_without_gate", WalkPrefix(kNoGate, 0), Simulated(1));
  w.Put(job, "refused_by_trust", WalkPrefix(kNoGate | kTrustRefused, 0), Simulated(1));
  w.Put(job, "refused_by_pinned_chain", WalkPrefix(kPinned, 0), Simulated(1));
  w.Put(job, "named_chain_counter_signed", WalkPrefix(kNamedChains, 0), Simulated(2));
  w.Put(job, "named_chain_timestamped", WalkPrefix(kNamedChains, 0), Simulated(3));
  w.Put(job, "unknown_index", WalkPrefix(kNoGate, 0), Simulated(4));
  w.Put(job, "three_candidates", WalkPrefix(kNamedChains, 0),
        LayOut({Simulated(0), Simulated(1, 40), Simulated(3)}));
  w.Put(job, "residue_3", WalkPrefix(kNoGate, 3),
        LayOut({Simulated(0, 29), Simulated(0, 30), Simulated(1)}, 3));
  w.Put(job, "residue_7", WalkPrefix(kNoGate, 7), LayOut({Simulated(0, 33), Simulated(1)}, 7));
  {
    std::vector<Bytes> packed(12, MinimalCandidate(12));
    packed.push_back(Simulated(1));
    w.Put(job, "packed_minimal", WalkPrefix(kNoGate, 0), LayOut(packed));
  }
  {
    // Extents shorter than the 15-byte header: the next position falls inside
    // the header just read.
    w.Put(job, "extent_below_header", WalkPrefix(kNoGate, 0),
          LayOut({MinimalCandidate(0), Simulated(1)}));
  }
  w.Put(job, "long_candidates", WalkPrefix(kNoGate, 0),
        LayOut({Simulated(0, 0x100), Simulated(0, 0x5A0), Simulated(1, 0x7F)}));
  {
    Bytes broken = Simulated(0);
    broken[0] = 0x31;
    w.Put(job, "broken_first_header", WalkPrefix(kNoGate, 0), LayOut({broken, Simulated(1)}));
  }
  {
    Bytes longer = Simulated(1);
    longer[3] += 1;  // claims a byte more than the record holds
    w.Put(job, "candidate_past_the_end", WalkPrefix(kNoGate, 0), longer);
  }
  {
    // The selector picks the place of the first value from the record length n:
    // n is the record's end, n + 1 past it, n + 2 the head's last byte, n + 3
    // before the record.
    const Bytes one = Simulated(1);
    const uint16_t n = static_cast<uint16_t>(one.size());
    w.Put(job, "value_at_end", WalkPrefix(kNoGate, n), one);
    w.Put(job, "value_past_end", WalkPrefix(kNoGate, n + 1), one);
    w.Put(job, "value_in_head", WalkPrefix(kNoGate, n + 2), one);
    w.Put(job, "value_before_record", WalkPrefix(kNoGate, n + 3), one);
  }
  // The identifier string of the next attribute ends a real record's walk.
  w.Put(job, "then_identifier", WalkPrefix(kNoGate, 0),
        Concat({LayOut({Simulated(0)}), Text("1.2.840.113549.1.9.6"), Bytes(1, 0)}));

  for (size_t i = 0; i < realNested.size(); ++i) {
    const std::string suffix = std::to_string(i);
    w.Put(job, "real_" + suffix, WalkPrefix(kNamedChains, 0), realNested[i]);
    w.Put(job, "real_then_simulated_" + suffix, WalkPrefix(kNoGate, 0),
          LayOut({realNested[i], Simulated(1)}));
  }
}

// ---------------------------------------------------------------- signer-name chains

// Selector bytes of signer_name_chains_fuzz.
uint8_t Name(unsigned chain, unsigned slot) { return static_cast<uint8_t>(4 * chain + slot); }
uint8_t CaseFlipped(unsigned chain, unsigned slot) { return 0x34 + Name(chain, slot); }
uint8_t Shortened(unsigned chain, unsigned slot) { return 0x68 + Name(chain, slot); }
uint8_t Link(unsigned cert) { return static_cast<uint8_t>(0xD0 + cert); }
constexpr uint8_t kEmptyName = 0xD8;

struct SeedCert {
  std::vector<uint8_t> subject;  // a selector and the bytes it reads
  std::vector<uint8_t> issuer;
  uint8_t key;
};

Bytes Store(uint8_t leaf, const std::vector<SeedCert>& certs) {
  Bytes out{static_cast<uint8_t>(certs.size() - 1), leaf};
  for (const SeedCert& cert : certs) {
    Append(&out, cert.subject);
    Append(&out, cert.issuer);
    out.push_back(cert.key);
  }
  return out;
}

// The number of names of each chain, leaf first.
constexpr unsigned kChainLengths[13] = {4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};

void SignerNameChainSeeds(Writer& w) {
  const std::string job = "signer_name_chains";
  for (unsigned chain = 0; chain < 13; ++chain) {
    const unsigned length = kChainLengths[chain];
    const std::string id = "chain_" + std::to_string(chain + 1);
    // Every name as a certificate, each issued by the next; the top one
    // issues itself. Stored in reverse order.
    std::vector<SeedCert> whole;
    for (unsigned slot = 0; slot < length; ++slot) {
      const unsigned issuer = slot + 1 < length ? slot + 1 : slot;
      whole.push_back({{Name(chain, slot)}, {Link(issuer)}, static_cast<uint8_t>(length - slot)});
    }
    w.Put(job, id + "_self_signed_top", {}, Store(0, whole));
    // The top certificate missing: the last name is the issuer of the one
    // below it.
    std::vector<SeedCert> issuerTop(whole.begin(), whole.end() - 1);
    issuerTop.back().issuer = {Name(chain, length - 1)};
    w.Put(job, id + "_top_as_issuer", {}, Store(0, issuerTop));
    // A near miss in the middle.
    std::vector<SeedCert> nearMiss = whole;
    nearMiss[1].subject = {CaseFlipped(chain, 1), 3};
    w.Put(job, id + "_case_differs", {}, Store(0, nearMiss));
    // Another certificate above the top: one name too many.
    std::vector<SeedCert> above = whole;
    above.back().issuer = {Link(length)};
    above.push_back({{0xE0, 9, 'A', 'n', 'y', ' ', 'R', 'o', 'o', 't', 's'}, {Link(length)}, 0});
    w.Put(job, id + "_issuer_above_top", {}, Store(0, above));
  }
  // Chains 1 to 3 carry chains 4 to 6 with the cross-signing root on top.
  std::vector<SeedCert> cross = {{{Name(0, 0)}, {Link(1)}, 1},
                                 {{Name(0, 1)}, {Link(2)}, 2},
                                 {{Name(0, 2)}, {Link(3)}, 3},
                                 {{Name(0, 3)}, {Link(3)}, 4},
                                 {{Name(0, 2)}, {Link(2)}, 0}};
  w.Put(job, "cross_signed_and_self_signed_roots", {}, Store(0, cross));
  // The same subject twice: the store order decides which is the issuer.
  std::vector<SeedCert> twins = {{{Name(3, 0)}, {Link(1)}, 2},
                                 {{Name(3, 1)}, {Shortened(3, 2)}, 0},
                                 {{Name(3, 1)}, {Name(3, 2)}, 1}};
  w.Put(job, "twin_issuers", {}, Store(0, twins));
  // Names the buffer cannot hold, with bytes after a NUL, and empty.
  Bytes longName = {0xFF, 0x20};
  Append(&longName, Text(std::string(288, 'K')));
  w.Put(job, "long_name", {}, Store(0, {{longName, {kEmptyName}, 0}}));
  Bytes nul = {0xE0, 22};
  Append(&nul, Text("KORVEX Corporation"));
  Append(&nul, Raw({0x00, 'X', 'Y', 'Z'}));
  w.Put(job, "name_with_nul", {}, Store(0, {{nul, {Link(1)}, 0}, {{Name(3, 1)}, {Name(3, 2)}, 1}}));
  // An issuer found by name that did not sign the certificate below: the
  // decoy stands first in the store; the leaf's signer (key bit 0x80, signer
  // 2) after it.
  w.Put(job, "issuer_that_did_not_sign", {},
        Store(0, {{{Name(3, 0)}, {Link(2)}, static_cast<uint8_t>(0x80 | (2 << 4))},
                  {{Name(3, 1)}, {Name(3, 2)}, 1},
                  {{Name(3, 1)}, {Name(3, 2)}, 2}}));
  w.Put(job, "issuer_cycle", {},
        Store(0, {{{Name(0, 0)}, {Link(1)}, 0}, {{Name(0, 1)}, {Link(0)}, 1}}));
  w.Put(job, "eight_certificates", {},
        Store(5, {{{Name(6, 0)}, {Link(1)}, 7},
                  {{Name(6, 1)}, {Link(2)}, 6},
                  {{Name(6, 2)}, {Link(2)}, 5},
                  {{Name(12, 0)}, {Link(4)}, 4},
                  {{Name(12, 1)}, {Link(5)}, 3},
                  {{Name(12, 2)}, {Link(5)}, 2},
                  {{kEmptyName}, {kEmptyName}, 1},
                  {{Name(7, 0)}, {Name(7, 1)}, 0}}));
}

// ---------------------------------------------------------------- platform decoders

constexpr uint8_t kContentInfo = 0;
constexpr uint8_t kSigningTime = 1;
constexpr uint8_t kSignerInfo = 2;
constexpr uint8_t kNestedMessage = 3;
constexpr uint8_t kCallerBuffer = 4;

// The counter-signer encoding the simulated decoder reads:
//   SEQUENCE { INTEGER 1, SEQUENCE { UTF8String issuer, INTEGER serial },
//              [0] { Attribute... } OPTIONAL, [1] { Attribute... } OPTIONAL }
//   Attribute ::= SEQUENCE { UTF8String dotted-oid, SET { OCTET STRING value... } }
Bytes SimAttribute(const char* oid, std::initializer_list<Bytes> values) {
  Bytes set;
  for (const Bytes& value : values) Append(&set, OctetString(value));
  return Sequence({Utf8String(oid), Element(kSet, set)});
}

void PlatformDecodeSeeds(Writer& w, const std::map<std::string, std::vector<Bytes>>& real) {
  const std::string job = "platform_decode";
  const Bytes tstInfo =
      Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0xAB))}), Integer(7),
                GeneralizedTime("20240501120100Z")});
  const Bytes signedData =
      Sequence({Integer(3), Set({Algorithm(kOidSha256)}),
                Sequence({Oid(kOidTstInfo), Context(0, {OctetString(tstInfo)})}), Set({})});
  const Bytes token = Sequence({Oid(kOidSignedData), Context(0, {signedData})});
  for (uint8_t form : {uint8_t{0}, kCallerBuffer}) {
    const std::string f = form ? "_buffer" : "";
    w.Put(job, "content_info_token" + f, {static_cast<uint8_t>(kContentInfo | form)}, token);
    w.Put(job, "content_info_no_content" + f, {static_cast<uint8_t>(kContentInfo | form)},
          Sequence({Oid(kOidData)}));
    w.Put(job, "content_info_long_lengths" + f, {static_cast<uint8_t>(kContentInfo | form)},
          ElementWithLengthOctets(
              kSequence,
              Concat({ElementWithLengthOctets(kObjectIdentifier, OidContent(kOidSignedData), 2),
                      ElementWithLengthOctets(ContextTag(0), signedData, 4)}),
              3));
    w.Put(job, "content_info_wide_arcs" + f, {static_cast<uint8_t>(kContentInfo | form)},
          Sequence({Oid({2, 4294967215u, 4294967295u, 0}), Context(0, {Null()})}));
    w.Put(job, "content_info_arc_39" + f, {static_cast<uint8_t>(kContentInfo | form)},
          Sequence({Oid({1, 39, 128, 16383, 16384})}));

    const uint8_t time = kSigningTime | form;
    w.Put(job, "time_utc" + f, {time}, UtcTime("240501120000Z"));
    w.Put(job, "time_utc_1950" + f, {time}, UtcTime("500101000000Z"));
    w.Put(job, "time_generalized" + f, {time}, GeneralizedTime("20240501120000Z"));
    w.Put(job, "time_fraction_7" + f, {time}, GeneralizedTime("20240229235959.1234567Z"));
    w.Put(job, "time_fraction_1" + f, {time}, GeneralizedTime("21000228235959.5Z"));
    // Last days of months, one digit away from days that do not exist.
    w.Put(job, "time_end_of_april" + f, {time}, UtcTime("240430235959Z"));
    w.Put(job, "time_end_of_february" + f, {time}, GeneralizedTime("19000228000000Z"));
    w.Put(job, "time_1601" + f, {time}, GeneralizedTime("16010101000000Z"));
    w.Put(job, "time_9999" + f, {time}, GeneralizedTime("99991231235959.9999999Z"));
    w.Put(job, "time_long_length" + f, {time},
          ElementWithLengthOctets(kGeneralizedTime, Text("20240501120000Z"), 4));
  }

  const Bytes signingTime = UtcTime("240501120005Z");
  w.Put(job, "signer_info_minimal", {kSignerInfo},
        Sequence({Integer(1), Sequence({Utf8String("Test TSA"), Integer(1)})}));
  w.Put(job, "signer_info_attributes", {kSignerInfo},
        Sequence({Integer(1), Sequence({Utf8String("Test TSA"), UnsignedInteger({0x80, 0x01})}),
                  Context(0, {SimAttribute("1.2.840.113549.1.9.5", {signingTime}),
                              SimAttribute("1.2.840.113549.1.9.3", {Oid(kOidData)})}),
                  Context(1, {SimAttribute("1.3.6.1.4.1.311.2.4.1",
                                           {Bytes(31, 0x30), Bytes(1, 1), Bytes()}),
                              SimAttribute("1.2.3", {})})}));
  w.Put(job, "signer_info_empty_tables", {kSignerInfo},
        Sequence({Integer(1), Sequence({Utf8String(""), Element(kInteger, {})}), Context(0, {}),
                  Context(1, {})}));
  w.Put(job, "signer_info_buffer", {kSignerInfo | kCallerBuffer},
        Sequence({Integer(1), Sequence({Utf8String("Test TSA"), Integer(1)})}));

  // Registry of the message parser: 0 and 1 signed, 2 an empty signature.
  w.Put(job, "message_plain", {kNestedMessage}, Simulated(0));
  w.Put(job, "message_attributes", {kNestedMessage}, Simulated(1, 300));
  w.Put(job, "message_empty_signer", {kNestedMessage}, Simulated(2));
  w.Put(job, "message_unknown_index", {kNestedMessage}, Simulated(3));

  // Real values, each where its parser expects it.
  const auto realOf = [&](const char* kind) -> const std::vector<Bytes>& {
    static const std::vector<Bytes> none;
    auto it = real.find(kind);
    return it == real.end() ? none : it->second;
  };
  for (size_t i = 0; i < realOf("nested").size(); ++i) {
    const std::string n = std::to_string(i);
    w.Put(job, "real_nested_content_info_" + n, {kContentInfo}, realOf("nested")[i]);
    w.Put(job, "real_nested_message_" + n, {kNestedMessage}, realOf("nested")[i]);
  }
  for (size_t i = 0; i < realOf("token").size(); ++i) {
    w.Put(job, "real_token_" + std::to_string(i), {kContentInfo}, realOf("token")[i]);
  }
  for (size_t i = 0; i < realOf("signing_time").size(); ++i) {
    w.Put(job, "real_signing_time_" + std::to_string(i), {kSigningTime},
          realOf("signing_time")[i]);
  }
  for (size_t i = 0; i < realOf("counter_signature").size(); ++i) {
    w.Put(job, "real_counter_signature_" + std::to_string(i), {kSignerInfo},
          realOf("counter_signature")[i]);
  }
}

// ---------------------------------------------------------------- real signatures

// One DER element: tag, content, and the whole encoding. Bounded reads only.
struct Node {
  uint8_t tag;
  Bytes content;
  Bytes whole;
};

bool ReadNode(const Bytes& in, size_t* at, Node* out) {
  const size_t start = *at;
  if (in.size() - start < 2) return false;
  const uint8_t tag = in[start];
  size_t length = in[start + 1];
  size_t header = 2;
  if (length & 0x80) {
    const size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || in.size() - start - 2 < octets) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | in[start + 2 + i];
    header += octets;
  }
  if (length > in.size() - start - header) return false;
  out->tag = tag;
  out->content.assign(in.begin() + start + header, in.begin() + start + header + length);
  out->whole.assign(in.begin() + start, in.begin() + start + header + length);
  *at = start + header + length;
  return true;
}

std::vector<Node> Children(const Bytes& content) {
  std::vector<Node> children;
  size_t at = 0;
  Node node;
  while (at < content.size() && ReadNode(content, &at, &node)) children.push_back(node);
  return children;
}

// Every attribute (SEQUENCE { OBJECT IDENTIFIER, SET { values } }) anywhere in
// the element: its values by identifier, in document order.
void CollectAttributes(const Node& element, unsigned depth,
                       std::map<Bytes, std::vector<Bytes>>* values) {
  if ((element.tag & kConstructed) == 0 || depth > 64) return;
  const std::vector<Node> children = Children(element.content);
  if (element.tag == kSequence && children.size() == 2 && children[0].tag == kObjectIdentifier &&
      children[1].tag == kSet) {
    for (const Node& value : Children(children[1].content)) {
      (*values)[children[0].content].push_back(value.whole);
    }
  }
  for (const Node& child : children) CollectAttributes(child, depth + 1, values);
}

bool ReadFile(const std::string& path, Bytes* out) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out->clear();
  uint8_t buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    out->insert(out->end(), buffer, buffer + got);
  }
  fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <corpus root> [signature.der...]\n", argv[0]);
    return 2;
  }
  // Real values by kind, each distinct value once, in the order of the files given.
  const std::map<std::string, Bytes> kinds = {{"nested", OidContent(kOidNested)},
                                              {"token", OidContent(kOidTimestampToken)},
                                              {"signing_time", OidContent(kOidSigningTime)},
                                              {"counter_signature", OidContent(kOidCounterSign)}};
  std::map<std::string, std::vector<Bytes>> real;
  std::set<Bytes> seen;
  for (int i = 2; i < argc; ++i) {
    Bytes signature;
    if (!ReadFile(argv[i], &signature)) {
      fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    size_t at = 0;
    Node top;
    if (!ReadNode(signature, &at, &top)) {
      fprintf(stderr, "%s is not DER\n", argv[i]);
      return 1;
    }
    std::map<Bytes, std::vector<Bytes>> values;
    CollectAttributes(top, 0, &values);
    for (const auto& [kind, oid] : kinds) {
      for (const Bytes& value : values[oid]) {
        if (seen.insert(value).second) real[kind].push_back(value);
      }
    }
  }

  Writer w{argv[1]};
  NestedWalkSeeds(w, real["nested"]);
  SignerNameChainSeeds(w);
  PlatformDecodeSeeds(w, real);
  for (const auto& [kind, list] : real) printf("%zu real %s values\n", list.size(), kind.c_str());
  if (!w.ok) {
    fprintf(stderr, "cannot write the seeds under %s\n", argv[1]);
    return 1;
  }
  return 0;
}
