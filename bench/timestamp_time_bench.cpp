// How FindTimestampTime scales with its input, against a plain byte checksum
// over the same bytes.
//
// Every input is exactly the requested size and ends with a real time-stamp
// token whose genTime is kGenTime, so the walk must cross every element before
// it to return that time; a run that returns anything else is reported as an
// error, not timed. Two shapes, each 1 KiB to 16 MiB:
//   flat  one SEQUENCE holding small primitive elements (2 to 13 bytes each,
//         among them identifiers that differ from id-ct-TSTInfo only in their
//         last octet, so the comparison reads all eleven octets), then the token
//   deep  nests of 32 SEQUENCEs, the deepest the walk enters, each around a few
//         such primitive elements, one after another, then the token
//   branchy  the same nests with one more element after the nested one at
//         every level, so that every level waits for the one below it
// The checksum adds every byte into a 32-bit sum, one byte per step.
//
// After the Google Benchmark table, a summary prints for each shape and size:
// the walk's and the checksum's throughput, the ratio of their times (goal:
// the walk takes at most 3 times as long), and the walk's nanoseconds per byte
// with its spread over the sizes (linear growth keeps it flat).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/summary.h"
#include "secureload/timestamp_time.h"
#include "tests/support/der_writer.h"

namespace {

using der::Bytes;

constexpr uint64_t kGenTime = 20240501120100;
constexpr int64_t kMinSize = int64_t{1} << 10;
constexpr int64_t kMaxSize = int64_t{1} << 24;
constexpr int kSizeStep = 4;

// A time-stamp token: SignedData whose encapsulated content is a TSTInfo.
Bytes Token() {
  using namespace der;
  const Bytes tstInfo = Sequence({Integer(1), Oid({1, 3, 6, 1, 4, 1, 99999, 1}),
                                  Sequence({Algorithm(kOidSha256), OctetString(Bytes(32, 0xA5))}),
                                  Integer(0x1234567), GeneralizedTime("20240501120100Z")});
  return Sequence({Oid(kOidSignedData),
                   Context(0, {Sequence({Integer(3), Set({Algorithm(kOidSha256)}),
                                         Sequence({Oid(kOidTstInfo),
                                                   Context(0, {OctetString(tstInfo)})})})})});
}

// id-ct-TSTInfo with its last octet changed: compared in full, never matched.
Bytes NearMissIdentifier() {
  Bytes content = der::OidContent(der::kOidTstInfo);
  content.back() ^= 0x01;
  return der::Element(der::kObjectIdentifier, content);
}

// The small primitive elements the filler cycles through.
std::vector<Bytes> FillerElements() {
  using namespace der;
  return {NearMissIdentifier(), Integer(7), Null(), OctetString(Bytes(8, 0x5A)), Boolean(true)};
}

// Appends filler elements to `out` while at least `reserve` bytes stay free
// below `size`, then one OCTET STRING that brings `out` to exactly
// size - reserve. `pieces` cycles; each piece is a whole element.
void Fill(Bytes* out, size_t size, size_t reserve, const std::vector<Bytes>& pieces) {
  // The closing OCTET STRING needs between 2 and 6 header bytes.
  constexpr size_t kClosingRoom = 6;
  for (size_t i = 0;; i = (i + 1) % pieces.size()) {
    if (out->size() + pieces[i].size() + kClosingRoom + reserve > size) break;
    der::Append(out, pieces[i]);
  }
  const size_t left = size - reserve - out->size();  // at least 6 when the loop ran once
  // Header bytes of an OCTET STRING holding c bytes: 2 below 128, then 3, 4, ...
  for (size_t header = 2; header <= kClosingRoom; ++header) {
    if (left < header) break;
    const Bytes element = der::OctetString(Bytes(left - header, 0x00));
    if (element.size() == left) {
      der::Append(out, element);
      return;
    }
  }
}

Bytes FlatInput(size_t size) {
  const Bytes token = Token();
  // The outer SEQUENCE always has a four-octet length: 6 header bytes.
  constexpr size_t kOuterHeader = 6;
  Bytes content;
  content.reserve(size);
  Fill(&content, size - kOuterHeader, token.size(), FillerElements());
  der::Append(&content, token);
  Bytes out{der::kSequence};
  der::Append(&out, der::LengthOctets(static_cast<uint32_t>(content.size()), 4));
  der::Append(&out, content);
  return out;
}

Bytes DeepInput(size_t size) {
  const Bytes inner = der::Concat({NearMissIdentifier(), der::Integer(7), der::Null()});
  // Levels 0 to 31 are entered; the innermost content is walked at level 32.
  const Bytes nest = der::Nested(der::kSequence, kTimestampMaxDepth, inner);
  const Bytes token = Token();
  Bytes out;
  out.reserve(size);
  Fill(&out, size, token.size(), {nest});
  der::Append(&out, token);
  return out;
}

// Nests of 32 SEQUENCEs in which every level also holds an element after the
// one it nests, so the walk must come back to each level: the costliest shape
// for the levels it keeps waiting.
Bytes BranchyInput(size_t size) {
  Bytes nest = der::Concat({NearMissIdentifier(), der::Integer(7), der::Null()});
  for (unsigned level = 0; level < kTimestampMaxDepth; ++level) {
    nest = der::Sequence({nest, der::Integer(7)});
  }
  const Bytes token = Token();
  Bytes out;
  out.reserve(size);
  Fill(&out, size, token.size(), {nest});
  der::Append(&out, token);
  return out;
}

enum class Shape { kFlat, kDeep, kBranchy };
const char* Name(Shape shape) {
  return shape == Shape::kFlat ? "flat" : shape == Shape::kDeep ? "deep" : "branchy";
}

const Bytes& Input(Shape shape, int64_t size) {
  static std::map<std::pair<Shape, int64_t>, Bytes> inputs;
  auto it = inputs.find({shape, size});
  if (it == inputs.end()) {
    const size_t n = static_cast<size_t>(size);
    Bytes input = shape == Shape::kFlat   ? FlatInput(n)
                  : shape == Shape::kDeep ? DeepInput(n)
                                          : BranchyInput(n);
    it = inputs.emplace(std::make_pair(shape, size), std::move(input)).first;
  }
  return it->second;
}

// One byte per step into a 32-bit sum; kept out of line like the walk, which
// lives in its own translation unit.
__attribute__((noinline)) uint32_t ByteChecksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

bool CheckInput(benchmark::State& state, const Bytes& input) {
  if (input.size() != static_cast<size_t>(state.range(0))) {
    state.SkipWithError("input is not of the requested size");
    return false;
  }
  const uint64_t found = FindTimestampTime(input.data(), static_cast<uint32_t>(input.size()), 0);
  if (found != kGenTime) {
    state.SkipWithError("the walk did not find the genTime at the end of the input");
    return false;
  }
  return true;
}

void BM_FindTimestampTime(benchmark::State& state, Shape shape) {
  const Bytes& input = Input(shape, state.range(0));
  if (!CheckInput(state, input)) return;
  for (auto _ : state) {
    uint64_t found = FindTimestampTime(input.data(), static_cast<uint32_t>(input.size()), 0);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ByteChecksum(benchmark::State& state, Shape shape) {
  const Bytes& input = Input(shape, state.range(0));
  if (!CheckInput(state, input)) return;
  for (auto _ : state) {
    uint32_t sum = ByteChecksum(input.data(), input.size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

std::string RunName(const char* function, Shape shape, int64_t size) {
  return std::string(function) + "/" + Name(shape) + "/" + std::to_string(size);
}

void PrintSummary(const bench::CollectingReporter& reporter) {
  std::printf("\nSummary (CPU time, median of the repetitions; MB/s = 10^6 bytes per second)\n");
  std::printf("%-6s %10s %14s %14s %12s %12s\n", "shape", "bytes", "walk MB/s", "checksum MB/s",
              "walk/chksum", "walk ns/B");
  for (Shape shape : {Shape::kFlat, Shape::kDeep, Shape::kBranchy}) {
    double lowest = 0, highest = 0, worstRatio = 0;
    bool complete = true;
    for (int64_t size = kMinSize; size <= kMaxSize; size *= kSizeStep) {
      const double walk = reporter.Seconds(RunName("FindTimestampTime", shape, size));
      const double sum = reporter.Seconds(RunName("ByteChecksum", shape, size));
      if (walk <= 0 || sum <= 0) {
        complete = false;
        continue;
      }
      const double bytes = static_cast<double>(size);
      const double nsPerByte = walk * 1e9 / bytes;
      const double ratio = walk / sum;
      std::printf("%-6s %10lld %14.1f %14.1f %12.2f %12.3f\n", Name(shape),
                  static_cast<long long>(size), bytes / walk / 1e6, bytes / sum / 1e6, ratio,
                  nsPerByte);
      lowest = lowest == 0 ? nsPerByte : std::min(lowest, nsPerByte);
      highest = std::max(highest, nsPerByte);
      worstRatio = std::max(worstRatio, ratio);
    }
    if (!complete || lowest == 0) {
      std::printf("%-6s not every size ran; no summary\n", Name(shape));
      continue;
    }
    std::printf("%-6s walk ns/byte from %.3f to %.3f over 1 KiB..16 MiB (spread %.2fx); "
                "largest walk/checksum ratio %.2f (goal <= 3: %s)\n",
                Name(shape), lowest, highest, highest / lowest, worstRatio,
                worstRatio <= 3.0 ? "within" : "missed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (Shape shape : {Shape::kFlat, Shape::kDeep, Shape::kBranchy}) {
    for (auto [function, fn] : {std::pair{"FindTimestampTime", &BM_FindTimestampTime},
                                std::pair{"ByteChecksum", &BM_ByteChecksum}}) {
      benchmark::RegisterBenchmark((std::string(function) + "/" + Name(shape)).c_str(), fn, shape)
          ->RangeMultiplier(kSizeStep)
          ->Range(kMinSize, kMaxSize);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
