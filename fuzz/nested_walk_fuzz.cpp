// The nested-signature walk of VerifyFileSignature over an arbitrary signer
// record. The simulated platform hands the input to the walk as the bytes of
// the file's signer record (behind a fixed head whose one attribute is the
// nested signature), with the attribute's first value placed where the input
// says. The primary signer is always refused (the record names no
// certificate), so every run reaches the walk.
//
// Input:  byte 0     the world: bits 0-1 the policy, bit 2 the trust verdict
//         bytes 1-2  where the first value lies (little endian, see ValueOffset)
//         the rest   the record's bytes
//
// Candidates that decode name one of the signatures registered below by their
// index (a simulated nested signature carries it after "SIMN"), so a run can
// take every path of the nested signer's check, acceptance included: the file
// is a small PE image held open as the verified load holds it, and each
// registered signature records its image digest, with the chain the engine
// builds for its signer.
//
// After every run, whatever the verdict:
//   - everything acquired was released, and nothing was released twice;
//   - every candidate fed to CryptMsgUpdate lies inside the record, the first
//     at the attribute's first value, each further one at a multiple of 8
//     bytes after the one before and past its end;
//   - at most kMaxNestedCandidates candidates were fed, and as many messages
//     opened (each one opened is fed or ends the walk);
//   - a whole, well-formed first candidate was fed;
//   - an accepted file had a candidate that decoded, and last error 0.
// Any failure aborts, so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_msg_control.h"
#include "secureload/file_signature.h"
#include "secureload/signature_policy.h"
#include "tests/support/der_writer.h"
#include "tests/support/pe_image.h"
#include "tests/support/process_state.h"

namespace {

const wchar_t kPath[] = L"C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\StpRuntimeSdk.dll";

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "nested_walk_fuzz: %s\n", what);
  abort();
}

// ---- the signatures a decoded candidate can name, index by index

constexpr uint64_t kTicksPerSecond = 10000000;
// 2024-05-01 12:00:00 UTC as a FILETIME value.
constexpr uint64_t kSigningTime = 133590384000000000ull;

// The certificates and signatures below are built once; after every reset the
// certificates are added again in the same order (so their ids stay the same)
// and the signatures registered again.
std::vector<sim::CertDesc> g_certs;
std::vector<sim::SignatureDesc> g_nested;
std::vector<std::pair<sim::CertId, sim::ChainDesc>> g_chains;
const pe_image::Image g_image = pe_image::Build(false, 200);

sim::CertId Cert(const char* subject, const char* issuer, uint8_t serial) {
  sim::CertDesc cert;
  cert.subject = subject;
  cert.issuer = issuer;
  cert.serial = {0x5E, serial};
  g_certs.push_back(cert);
  return sim::AddCertificate(cert);
}

// A signer whose names match one of the allowed chains, its time-stamping
// counter-signer, and the certificates both need.
sim::SignatureDesc NamedChainSignature(uint8_t serial) {
  const char* const ca = "Sentrix Class 3 SHA256 Code Signing CA";
  const char* const root = "Verimark Class 3 Public Primary Certification Authority - G5";
  const sim::CertId leaf = Cert("KORVEX Corporation", ca, serial);
  const sim::CertId tsa = Cert("Test Time Stamping Service", "Test Time Stamping Root", serial);
  sim::SignatureDesc signature;
  const sim::CertId caCert = Cert(ca, root, serial);
  const sim::CertId rootCert = Cert(root, root, serial);
  signature.certs = {leaf, caCert, rootCert, tsa};
  signature.signer = sim::SignerOf(leaf);
  sim::ChainDesc chain;
  chain.simpleChains = {{leaf, caCert, rootCert}};
  g_chains.push_back({leaf, chain});
  signature.signer.authAttrs = {{szOID_RSA_signingTime, {sim::EncodeSigningTime(kSigningTime)}}};
  return signature;
}

// An RFC 3161 token whose genTime is 2024-05-01 12:01:00.
der::Bytes TimestampToken() {
  using namespace der;
  const Bytes tstInfo =
      Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0xAB))}), Integer(7),
                GeneralizedTime("20240501120100Z")});
  const Bytes signedData =
      Sequence({Integer(3), Set({Algorithm(kOidSha256)}),
                Sequence({Oid(kOidTstInfo), Context(0, {OctetString(tstInfo)})}), Set({})});
  return Sequence({Oid(kOidSignedData), Context(0, {signedData})});
}

// Registered in this order; the seeds name them by index.
//   0  its signer's certificate is not in its store: refused at once
//   1  a signer with its certificate; no policy gate of its own
//   2  a signer matching a name chain, with a counter-signature 5 s later
//   3  the same with an RFC 3161 time-stamp token instead
void BuildNestedSignatures() {
  sim::SignatureDesc missing;
  missing.signer.issuer = "Nobody's CA";
  missing.signer.serial = {0x5E, 0x00};
  g_nested.push_back(missing);

  const sim::CertId plain = Cert("Plain Signer", "Plain CA", 1);
  sim::SignatureDesc plainSignature;
  plainSignature.certs = {plain};
  plainSignature.signer = sim::SignerOf(plain);
  g_nested.push_back(plainSignature);

  sim::SignatureDesc counterSigned = NamedChainSignature(2);
  sim::SignerDesc counterSigner = sim::SignerOf(counterSigned.certs.back());
  counterSigner.authAttrs = {
      {szOID_RSA_signingTime, {sim::EncodeSigningTime(kSigningTime + 5 * kTicksPerSecond)}}};
  counterSigned.signer.unauthAttrs = {
      {szOID_RSA_counterSign, {sim::EncodeCounterSignature(counterSigner)}}};
  g_nested.push_back(counterSigned);

  sim::SignatureDesc stamped = NamedChainSignature(3);
  stamped.signer.unauthAttrs = {{szOID_RFC3161_counterSign, {TimestampToken()}}};
  g_nested.push_back(stamped);
}

void RegisterNestedSignatures() {
  for (auto& signature : g_nested) {
    signature.indirect.imageDigest = pe_image::Digest(g_image, CALG_SHA_256);
  }
  for (size_t i = 0; i < g_certs.size(); ++i) {
    if (sim::AddCertificate(g_certs[i]) != static_cast<sim::CertId>(i)) {
      Fail("a certificate came back with another id");
    }
  }
  for (const sim::SignatureDesc& signature : g_nested) (void)sim::EncodeNestedSignature(signature);
  for (const auto& [leaf, chain] : g_chains) sim::SetChain(leaf, chain);
}

// ---- watching the walk

// The file's signer record as the walk received it: the first filled signer
// record of a run (the nested signers' own records come later).
struct Record {
  bool seen;
  uintptr_t start;
  uint32_t size;
  uintptr_t firstValue;
};
Record g_record;

decltype(&::CryptMsgGetParam) g_simGetParam;

BOOL WINAPI WatchGetParam(HCRYPTMSG msg, DWORD type, DWORD index, void* data, DWORD* size) {
  const BOOL ok = g_simGetParam(msg, type, index, data, size);
  if (ok && data != nullptr && !g_record.seen) {
    const CMSG_SIGNER_INFO* signer = static_cast<const CMSG_SIGNER_INFO*>(data);
    g_record.seen = true;
    g_record.start = reinterpret_cast<uintptr_t>(data);
    g_record.size = *size;
    const CRYPT_ATTRIBUTE& nested = signer->UnauthAttrs.rgAttr[0];
    g_record.firstValue = reinterpret_cast<uintptr_t>(nested.rgValue[0].pbData);
  }
  return ok;
}

// Where the first value lies, from the record's length n: mostly inside the
// bytes (0 to n, n being the record's end), sometimes one of the places the
// walk must refuse without reading.
int64_t ValueOffset(uint16_t selector, size_t n) {
  const size_t k = selector % (n + 4);
  if (k <= n) return static_cast<int64_t>(k);
  if (k == n + 1) return static_cast<int64_t>(n) + 8;  // past the end
  if (k == n + 2) return -1;                           // the last byte of the head
  return -4096;                                        // before the record
}

SignaturePolicy PolicyOf(uint8_t world) {
  switch (world & 3) {
    case 0: return kPolicyNamedChains;
    case 1: return kPolicyPinnedChain;
    default: return 0;  // no policy gate
  }
}

// Whether the bytes at `offset` hold a candidate header the walk accepts, and
// the candidate's extent when they do.
bool WholeCandidateAt(const std::vector<uint8_t>& bytes, int64_t offset, uint32_t* extent) {
  static const uint8_t kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  if (offset < 0 || static_cast<size_t>(offset) >= bytes.size()) return false;
  const size_t at = static_cast<size_t>(offset);
  const size_t available = bytes.size() - at;
  if (available < 15 || bytes[at] != 0x30 || bytes[at + 1] != 0x82) return false;
  for (size_t i = 0; i < sizeof kSignedData; ++i) {
    if (bytes[at + 6 + i] != kSignedData[i]) return false;
  }
  const uint32_t n = ((static_cast<uint32_t>(bytes[at + 2]) << 8) | bytes[at + 3]) + 4;
  if (n > available) return false;
  *extent = n;
  return true;
}

void CheckRun(DWORD result, DWORD error, const std::vector<uint8_t>& bytes, int64_t offset) {
  if (!sim::AllReleased()) Fail("something acquired was not released, or released twice");
  if (!g_record.seen) Fail("the file's signer record was never filled");

  const std::vector<sim::MessageUpdate>& updates = sim::MessageUpdates();
  const uintptr_t end = g_record.start + g_record.size;
  if (updates.size() > kMaxNestedCandidates) Fail("more candidates fed than the load's budget");
  if (sim::CountTrace("CryptMsgOpenToDecode") > kMaxNestedCandidates) {
    Fail("more messages opened than the load's budget allows");
  }

  for (size_t i = 0; i < updates.size(); ++i) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(updates[i].data);
    if (at < g_record.start || at >= end || updates[i].size > end - at) {
      Fail("a candidate fed reaches outside the signer record");
    }
    if (!updates[i].final) Fail("a candidate was fed in pieces");
    if (i == 0 && at != g_record.firstValue) Fail("the first candidate is not the first value");
    if (i > 0) {
      const uintptr_t before = reinterpret_cast<uintptr_t>(updates[i - 1].data);
      if (at <= before || (at - before) % 8 != 0 || at - before < updates[i - 1].size) {
        Fail("a candidate is not a multiple of 8 past the end of the one before");
      }
    }
  }

  uint32_t extent = 0;
  if (WholeCandidateAt(bytes, offset, &extent) &&
      (updates.empty() || updates[0].size != extent)) {
    Fail("a whole, well-formed first candidate was not fed");
  }
  // The primary signer is refused, so only a nested one can be accepted, and
  // its acceptance ends the walk.
  if (result != 0 && (updates.empty() || !updates.back().decoded || error != 0)) {
    Fail("accepted without the last candidate decoding, or with a last error");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ResetProcessState();
  HMODULE crypt32 = LoadLibraryExW(L"C:\\Windows\\system32\\crypt32.dll", nullptr, 0);
  g_simGetParam =
      ProcAs<decltype(&::CryptMsgGetParam)>(GetProcAddress(crypt32, "CryptMsgGetParam"));
  if (g_simGetParam == nullptr) Fail("the simulated crypt32 has no CryptMsgGetParam");
  BuildNestedSignatures();
  ResetProcessState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t world = data[0];
  const uint16_t selector = static_cast<uint16_t>(data[1] | (data[2] << 8));
  std::vector<uint8_t> bytes(data + 3, data + size);
  const int64_t offset = ValueOffset(selector, bytes.size());

  // The process is in its first state: fresh from LLVMFuzzerInitialize or
  // from the reset that ends every run.
  g_record = Record{};
  sim::SetSystemExport("crypt32.dll", "CryptMsgGetParam", reinterpret_cast<void*>(&WatchGetParam));
  RegisterNestedSignatures();
  sim::AddFile(kPath, g_image.bytes);
  if ((world & 4) == 0) sim::SetTrustVerdict(kPath, 0);
  sim::SignFileWithRawSignerRecord(kPath, bytes, offset);

  LoadContext context;
  context.file =
      CreateFileW(kPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD result = VerifyFileSignature(kPath, context, PolicyOf(world));
  const DWORD error = GetLastError();
  CloseHandle(context.file);
  CheckRun(result, error, bytes, offset);
  // Resetting here rather than at the start leaves nothing of the run
  // allocated, so libFuzzer has no reason to run the input twice looking for
  // a leak.
  ResetProcessState();
  return 0;
}
