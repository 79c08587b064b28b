// How the walk over nested signatures scales with the size of the signer
// record and the number of nested signatures, driven through the simulated
// Windows.
//
// The file's signer record is given as raw bytes (sim::SignFileWithRawSignerRecord):
// the nested-signature attribute's value starts at the first byte and holds K
// candidates one after another, each at the next 8-byte step after the one
// before. Every candidate is refused, so the walk goes on until the load's
// budget of kMaxNestedCandidates candidates is spent or the record ends, and
// returns 0 with last error 0: past the budget, a larger record costs no more.
// Three shapes:
//   opaque   31-byte candidates, 32-byte step, whose header passes the walk's
//            test but whose body the platform cannot decode: per candidate a
//            message is opened, fed and closed, and nothing more
//   refused  the same size, decodable nested signatures whose signer is
//            refused (its certificate is in no store): per candidate also a
//            signer record is measured, allocated and filled, a store is opened
//            and closed and the certificate looked up
//   large    4,096-byte decodable candidates, refused: fewer candidates, more
//            bytes each
//
// "ManyNested" is the case the budget is for: a 1 MiB image whose refused
// primary signer carries N nested signatures made for this very file (their
// signatures verify, their image digests match) by a chain that does not
// verify, so each one judged costs its proofs up to the chain build. Its row
// is the cost of N against the cost of one.
//
// Most of a call's time is the simulated platform's. "PlatformSequence" makes
// the same simulated calls on the same record in the verifier's order, with the
// candidates' positions known in advance instead of found, so the summary can
// put the walk's own share (the difference) beside the whole.
//
// Between iterations, with the clock paused, the simulated world is made again
// so that nothing it keeps (its call log, the messages fed, the stores it has
// opened) carries over from one iteration to the next. The process's crypt32
// entry points stay resolved from the first call, as in a process.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/summary.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_msg_control.h"
#include "secureload/crypto_api.h"
#include "secureload/file_signature.h"
#include "secureload/image_digest.h"
#include "secureload/load_context.h"
#include "secureload/signature_policy.h"
#include "secureload/signer_policy.h"
#include "secureload/signer_proof.h"
#include "tests/support/pe_image.h"
#include "tests/support/process_state.h"

namespace {

const std::wstring kFile = L"C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\STP32.dll";
constexpr SignaturePolicy kPolicy = kPolicyPinnedChain;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Bytes 15 on of a simulated nested signature: its [0] wrapper. Anything else
// there and the platform cannot decode the candidate.
constexpr size_t kWrapperOffset = 15;

enum class Shape { kOpaque, kRefused, kLarge };
constexpr Shape kShapes[] = {Shape::kOpaque, Shape::kRefused, Shape::kLarge};

struct ShapeInfo {
  const char* name;
  uint16_t contentLength;  // L: the candidate is L + 4 bytes
  uint32_t step;           // L + 4 rounded up to a multiple of 8
  bool decodes;
  int64_t minSize;
  int64_t maxSize;
};

const ShapeInfo& Info(Shape shape) {
  static const ShapeInfo kOpaqueInfo{"opaque", 27, 32, false, int64_t{1} << 10, int64_t{1} << 22};
  // The simulated certificate part keeps every store it ever opened and finds
  // a store by looking through all of them, so a call's platform time grows
  // with the square of the number of decodable candidates; 256 KiB (8,192
  // candidates) keeps a run short.
  static const ShapeInfo kRefusedInfo{"refused", 27, 32, true, int64_t{1} << 10, int64_t{1} << 18};
  static const ShapeInfo kLargeInfo{"large", 4092, 4096, true, int64_t{1} << 14, int64_t{1} << 22};
  switch (shape) {
    case Shape::kOpaque: return kOpaqueInfo;
    case Shape::kRefused: return kRefusedInfo;
    case Shape::kLarge: break;
  }
  return kLargeInfo;
}

uint32_t Candidates(Shape shape, int64_t size) {
  return static_cast<uint32_t>(size / Info(shape).step);
}

// How many of them one load feeds to a message.
uint32_t Fed(uint32_t candidates) {
  return candidates < kMaxNestedCandidates ? candidates : kMaxNestedCandidates;
}

// One signer proven and judged, as the walk does it.
DWORD ProvenAndVerified(HCRYPTMSG message, PCMSG_SIGNER_INFO signer, HCERTSTORE store) {
  PCCERT_CONTEXT cert = nullptr;
  if (!ProveSigner(message, *signer, store, &cert)) return 0;
  const DWORD verdict = VerifySigner(signer, cert, store, kFile.c_str(), nullptr, kPolicy);
  g_cryptoApi.CertFreeCertificateContext(cert);
  return verdict;
}

DWORD VerifyInOneLoad(HANDLE file = nullptr) {
  LoadContext context;
  context.file = file;
  return VerifyFileSignature(kFile.c_str(), context, kPolicy);
}

// A fresh simulated world whose file carries `candidates` candidates of this
// shape. Process-wide values of the probe are left as they are.
void ArrangeWorld(Shape shape, uint32_t candidates) {
  const ShapeInfo& info = Info(shape);
  sim::Reset();
  sim::AddFile(kFile, {0x4D, 0x5A});
  // No certificate is ever added, so every signer is refused at its lookup.
  const sim::SignatureDesc nested{{}, sim::SignerDesc{"Bench Signing CA", {0x42}, {}, {}}};
  std::vector<uint8_t> one = sim::EncodeNestedSignatureOfLength(nested, info.contentLength);
  if (!info.decodes) one[kWrapperOffset] = 0x04;
  std::vector<uint8_t> bytes(static_cast<size_t>(info.step) * candidates, 0);
  for (uint32_t i = 0; i < candidates; ++i) {
    std::copy(one.begin(), one.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i) * info.step);
  }
  sim::SignFileWithRawSignerRecord(kFile, std::move(bytes), 0);
}

// One call walks the first candidates the budget allows, refuses them all,
// leaves last error 0, and releases everything. Run first in a fresh process:
// it fills the crypt32 table.
bool CheckWalk(benchmark::State& state, Shape shape, uint32_t candidates) {
  ResetProcessState();
  ArrangeWorld(shape, candidates);
  const DWORD result = VerifyInOneLoad();
  const DWORD error = GetLastError();
  const std::vector<sim::MessageUpdate>& updates = sim::MessageUpdates();
  if (result != 0 || error != 0) {
    state.SkipWithError("a refused file should give 0 with last error 0");
    return false;
  }
  if (updates.size() != Fed(candidates)) {
    state.SkipWithError("the walk did not feed the candidates its budget allows");
    return false;
  }
  for (const sim::MessageUpdate& update : updates) {
    if (update.decoded != Info(shape).decodes || update.size != Info(shape).contentLength + 4u) {
      state.SkipWithError("a candidate was not fed whole, or decoded against its shape");
      return false;
    }
  }
  if (!sim::AllReleased()) {
    state.SkipWithError("the call left something acquired");
    return false;
  }
  return true;
}

void BM_VerifyFileSignature(benchmark::State& state, Shape shape) {
  const uint32_t candidates = Candidates(shape, state.range(0));
  if (!CheckWalk(state, shape, candidates)) return;
  for (auto _ : state) {
    state.PauseTiming();
    ArrangeWorld(shape, candidates);
    state.ResumeTiming();
    DWORD result = VerifyInOneLoad();
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["candidates"] = candidates;
}

// The simulated platform's part of one call, in the order the verifier makes
// the calls: the file test, the signature query, the primary signer's record
// and its refusal, then per candidate the budget allows a message opened and
// fed and, when it decodes, the nested signer's record, store and refusal.
// Returns the number of refusals.
DWORD PlatformSequence(Shape shape, uint32_t candidates) {
  const ShapeInfo& info = Info(shape);
  const CryptoApiTable& api = g_cryptoApi;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (GetFileAttributesW(kFile.c_str()) == INVALID_FILE_ATTRIBUTES ||
      !api.CryptQueryObject(CERT_QUERY_OBJECT_FILE, kFile.c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store,
                            &message, nullptr)) {
    return 0;
  }
  DWORD refused = 0;
  DWORD size = 0;
  api.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size);
  HLOCAL record = LocalAlloc(LPTR, size);
  api.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, record, &size);
  PCMSG_SIGNER_INFO signer = static_cast<PCMSG_SIGNER_INFO>(record);
  refused += ProvenAndVerified(message, signer, store) == 0;
  const BYTE* first = signer->UnauthAttrs.rgAttr[0].rgValue[0].pbData;
  const DWORD extent = info.contentLength + 4u;
  for (uint32_t i = 0; i < Fed(candidates); ++i) {
    HCRYPTMSG nested = api.CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (api.CryptMsgUpdate(nested, first + static_cast<size_t>(i) * info.step, extent, TRUE)) {
      DWORD nestedSize = 0;
      api.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &nestedSize);
      HLOCAL nestedRecord = LocalAlloc(LPTR, nestedSize);
      api.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, nestedRecord, &nestedSize);
      HCERTSTORE nestedStore = api.CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, nested);
      refused += ProvenAndVerified(nested, static_cast<PCMSG_SIGNER_INFO>(nestedRecord),
                                   nestedStore) == 0;
      api.CertCloseStore(nestedStore, 0);
      LocalFree(nestedRecord);
    } else {
      ++refused;
    }
    api.CryptMsgClose(nested);
  }
  LocalFree(record);
  api.CertCloseStore(store, 0);
  api.CryptMsgClose(message);
  return refused;
}

void BM_PlatformSequence(benchmark::State& state, Shape shape) {
  const uint32_t candidates = Candidates(shape, state.range(0));
  // The walk's own first call fills the crypt32 table and proves that the
  // record is what the sequence assumes.
  if (!CheckWalk(state, shape, candidates)) return;
  ArrangeWorld(shape, candidates);
  if (PlatformSequence(shape, candidates) != Fed(candidates) + 1 ||
      sim::MessageUpdates().size() != Fed(candidates) || !sim::AllReleased()) {
    state.SkipWithError("the platform sequence did not refuse every candidate cleanly");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    ArrangeWorld(shape, candidates);
    state.ResumeTiming();
    DWORD refused = PlatformSequence(shape, candidates);
    benchmark::DoNotOptimize(refused);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["candidates"] = candidates;
}

std::string RunName(const char* function, Shape shape, int64_t size) {
  return std::string(function) + "/" + Info(shape).name + "/" + std::to_string(size);
}

// ---- many nested signatures made for the file, against one

const pe_image::Image& ManyImage() {
  static const pe_image::Image image = pe_image::Build(false, 1u << 20);
  return image;
}

// A fresh world: the 1 MiB image signed by a refused primary signer that
// carries `nested` nested signatures made for it by a chain that does not
// verify. Gives a handle held on the file as the verified load holds it.
HANDLE ArrangeManyNested(uint32_t nested) {
  static const std::vector<uint8_t> digest = pe_image::Digest(ManyImage(), CALG_SHA_256);
  sim::Reset();
  sim::AddFile(kFile, ManyImage().bytes);
  sim::CertDesc leafDesc;
  leafDesc.subject = "STP SDK - Code Signing Leaf (prod)";
  leafDesc.issuer = "Bench Zone CA";
  leafDesc.serial = {0x42};
  const sim::CertId leaf = sim::AddCertificate(leafDesc);
  sim::ChainDesc partial;
  partial.simpleChains = {{leaf}};
  partial.chainErrors = {CERT_TRUST_IS_PARTIAL_CHAIN};
  sim::SetChain(leaf, partial);
  sim::SignatureDesc one;
  one.certs = {leaf};
  one.signer = sim::SignerOf(leaf);
  one.indirect.imageDigest = digest;
  std::vector<std::vector<uint8_t>> values;
  for (uint32_t i = 0; i < nested; ++i) values.push_back(sim::EncodeNestedSignature(one));
  sim::SignatureDesc primary;  // its signer's certificate is not carried: refused
  primary.signer.issuer = "Nobody";
  primary.signer.serial = {0x99};
  primary.signer.unauthAttrs = {{szOID_NESTED_SIGNATURE, std::move(values)}};
  sim::SignFile(kFile, primary);
  return CreateFileW(kFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

void BM_ManyNested(benchmark::State& state) {
  const uint32_t nested = static_cast<uint32_t>(state.range(0));
  ResetProcessState();
  HANDLE file = ArrangeManyNested(nested);
  const DWORD result = VerifyInOneLoad(file);
  CloseHandle(file);
  const uint32_t blocks = (ManyImage().certTableOffset + kImageReadBlock - 1) / kImageReadBlock;
  // Every candidate the budget allows is proven up to its chain, and the file
  // is read for its image digest once.
  if (result != 0 || sim::MessageUpdates().size() != Fed(nested) ||
      sim::CountTrace("CertGetCertificateChain") != Fed(nested) || sim::FileReads() != blocks ||
      !sim::AllReleased()) {
    state.SkipWithError("the nested signatures were not judged as the budget says");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    file = ArrangeManyNested(nested);
    state.ResumeTiming();
    DWORD verdict = VerifyInOneLoad(file);
    benchmark::DoNotOptimize(verdict);
    state.PauseTiming();
    CloseHandle(file);
    state.ResumeTiming();
  }
  state.counters["nested"] = nested;
}

constexpr int64_t kManyCounts[] = {1, 2, 4, 16, 64, 256};

void PrintSummary(const bench::CollectingReporter& reporter) {
  std::printf("\nSummary (CPU time, median of the repetitions; per call: the whole call, the"
              " simulated platform's calls alone, and the difference, the walk's own)\n");
  std::printf("%-8s %9s %10s %6s %10s %12s %10s\n", "shape", "bytes", "candidates", "fed",
              "call us", "platform us", "walk us");
  for (Shape shape : kShapes) {
    const ShapeInfo& info = Info(shape);
    double callLow = 0, callHigh = 0;
    bool complete = true;
    for (int64_t size = info.minSize; size <= info.maxSize; size *= 4) {
      const double call = reporter.Seconds(RunName("VerifyFileSignature", shape, size));
      const double platform = reporter.Seconds(RunName("PlatformSequence", shape, size));
      if (call <= 0 || platform <= 0) {
        complete = false;
        continue;
      }
      const uint32_t candidates = Candidates(shape, size);
      std::printf("%-8s %9lld %10u %6u %10.2f %12.2f %10.2f\n", info.name,
                  static_cast<long long>(size), candidates, Fed(candidates), call * 1e6,
                  platform * 1e6, (call - platform) * 1e6);
      callLow = callLow == 0 ? call : std::min(callLow, call);
      callHigh = std::max(callHigh, call);
    }
    if (!complete || callLow == 0) {
      std::printf("%-8s not every size ran; no summary\n", info.name);
      continue;
    }
    std::printf("%-8s whole call %.2f to %.2f us over every record size (spread %.2fx)\n",
                info.name, callLow * 1e6, callHigh * 1e6, callHigh / callLow);
  }

  std::printf("\nMany nested signatures made for a 1 MiB file, refused at their chains,"
              " against one\n%8s %6s %10s %10s\n", "nested", "fed", "call us", "vs one");
  const double one = reporter.Seconds("ManyNested/1");
  for (int64_t count : kManyCounts) {
    const double call = reporter.Seconds("ManyNested/" + std::to_string(count));
    if (call <= 0 || one <= 0) {
      std::printf("%8lld not run\n", static_cast<long long>(count));
      continue;
    }
    std::printf("%8lld %6u %10.2f %9.2fx\n", static_cast<long long>(count),
                Fed(static_cast<uint32_t>(count)), call * 1e6, call / one);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (Shape shape : kShapes) {
    const ShapeInfo& info = Info(shape);
    for (auto [function, fn] : {std::pair{"VerifyFileSignature", &BM_VerifyFileSignature},
                                std::pair{"PlatformSequence", &BM_PlatformSequence}}) {
      benchmark::RegisterBenchmark((std::string(function) + "/" + info.name).c_str(), fn, shape)
          ->RangeMultiplier(4)
          ->Range(info.minSize, info.maxSize);
    }
  }
  benchmark::internal::Benchmark* many = benchmark::RegisterBenchmark("ManyNested", BM_ManyNested);
  for (int64_t count : kManyCounts) many->Arg(count);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
