// Writes seeds for timestamp_time_fuzz into a directory: a few well-formed
// tokens in the shapes time-stamp authorities produce. The first byte of each
// file is the flag byte the fuzz target reads.
#include <cstdio>
#include <string>

#include "tests/support/der_writer.h"

namespace {

using namespace der;

Bytes TstInfo(const Bytes& genTime) {
  return Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                   Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0xAB))}),
                   Integer(0x1234567), genTime, Sequence({Integer(1)}), Integer(42)});
}

Bytes SignedData(const Bytes& eContent) {
  return Sequence({Integer(3), Set({Algorithm(kOidSha256)}), Sequence({Oid(kOidTstInfo), eContent}),
                   Context(0, {Sequence({UtcTime("200131123000Z")})}),
                   Set({Sequence({Integer(1), UtcTime("200131123459Z")})})});
}

bool Write(const std::string& directory, const char* name, uint8_t flag, const Bytes& der) {
  const std::string path = directory + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = fputc(flag, file) != EOF && fwrite(der.data(), 1, der.size(), file) == der.size();
  return fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes tstInfo = TstInfo(GeneralizedTime("20200131123459Z"));
  const Bytes wrapped = Context(0, {OctetString(tstInfo)});
  bool ok = true;
  ok &= Write(dir, "token", 0, SignedData(wrapped));
  ok &=
      Write(dir, "token_fraction_3", 0,
            SignedData(Context(0, {OctetString(TstInfo(GeneralizedTime("20200131123459.123Z")))})));
  ok &= Write(dir, "token_fraction_1", 0,
              SignedData(Context(0, {OctetString(TstInfo(GeneralizedTime("20200131123459.5Z")))})));
  ok &= Write(dir, "token_unwrapped", 0, SignedData(OctetString(tstInfo)));
  ok &= Write(dir, "token_in_content_info", 0,
              Sequence({Oid(kOidSignedData), Context(0, {SignedData(wrapped)})}));
  ok &=
      Write(dir, "token_long_lengths", 0,
            ElementWithLengthOctets(
                kSequence,
                Concat({Oid(kOidTstInfo),
                        ElementWithLengthOctets(
                            ContextTag(0), ElementWithLengthOctets(kOctetString, tstInfo, 4), 4)}),
                4));
  ok &= Write(dir, "tstinfo", 1, tstInfo);
  ok &= Write(dir, "tstinfo_context_time", 1,
              TstInfo(Element(ContextPrimitiveTag(24), Text("20200131123459.08Z"))));
  if (!ok) {
    fprintf(stderr, "cannot write the seeds into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
