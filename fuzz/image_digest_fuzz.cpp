// The PE reader behind the Authenticode image digest, over arbitrary file
// bytes. The input is a whole file: its layout is read from its first block,
// and its digest is computed through a handle on it in the simulated world.
//
// After every run:
//   - a layout that is read has its ranges in order, the table exactly at the
//     end of the file, and the headers it names inside the block read;
//   - the digest through the handle is computed exactly when the layout is
//     read, and equals the simulated hash of the file without the three
//     left-out ranges;
//   - everything acquired was released.
// Any failure aborts, so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/image_digest.h"
#include "tests/support/process_state.h"

namespace {

const wchar_t kPath[] = L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll";

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "image_digest_fuzz: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ResetProcessState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4 * kImageReadBlock) return 0;  // more blocks add nothing the reader sees
  const uint32_t fileSize = static_cast<uint32_t>(size);
  const uint32_t headerSize = fileSize < kImageReadBlock ? fileSize : kImageReadBlock;
  // A copy of exactly the header bytes, so that a read past them is caught.
  std::vector<uint8_t> headers(data, data + headerSize);
  ImageDigestLayout layout = {};
  const bool read = ReadImageDigestLayout(headers.data(), headerSize, fileSize, &layout);
  if (read) {
    if (layout.fileSize != fileSize ||
        layout.checksumOffset + kImageChecksumSize > layout.certEntryOffset ||
        layout.certEntryOffset + kImageDirectoryEntrySize > layout.certTableOffset ||
        layout.certEntryOffset + kImageDirectoryEntrySize > headerSize ||
        layout.certTableOffset >= fileSize) {
      Fail("a layout out of order or outside the file");
    }
  }

  // The process is in its first state: fresh from LLVMFuzzerInitialize or
  // from the reset that ends every run.
  sim::AddFile(kPath, std::vector<uint8_t>(data, data + size));
  HANDLE file = CreateFileW(kPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  BYTE digest[32] = {};
  DWORD digestSize = 0;
  const bool computed = ComputeImageDigest(file, CALG_SHA_256, digest, sizeof digest, &digestSize);
  CloseHandle(file);
  if (computed != read) Fail("the digest and the layout disagree");
  if (computed) {
    std::vector<uint8_t> hashed(data, data + layout.checksumOffset);
    hashed.insert(hashed.end(), data + layout.checksumOffset + kImageChecksumSize,
                  data + layout.certEntryOffset);
    hashed.insert(hashed.end(), data + layout.certEntryOffset + kImageDirectoryEntrySize,
                  data + layout.certTableOffset);
    const std::vector<uint8_t> expected = sim::SimulatedDigest(CALG_SHA_256, hashed);
    if (digestSize != expected.size() ||
        !std::equal(expected.begin(), expected.end(), digest)) {
      Fail("the digest is not that of the file without the left-out ranges");
    }
  }
  if (!sim::AllReleased()) Fail("something acquired was not released");
  ResetProcessState();
  return 0;
}
