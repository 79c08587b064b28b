// Small PE images for the tests of the image digest: a DOS header, the PE
// headers (PE32 or PE32+) with sixteen data-directory entries, some code
// bytes, and a certificate table at the end that entry 4 names. Where the
// three ranges the Authenticode digest leaves out lie is known here from the
// layout built, not read back from the bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/sim/sim_crypt_control.h"

namespace pe_image {

struct Image {
  std::vector<uint8_t> bytes;
  uint32_t checksumOffset;
  uint32_t certEntryOffset;
  uint32_t certTableOffset;
};

constexpr uint32_t kPeOffset = 0x80;
constexpr uint32_t kOptionalOffset = kPeOffset + 24;

inline void Put32(std::vector<uint8_t>& out, uint32_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline Image Build(bool pe32Plus = false, uint32_t codeSize = 3000, uint32_t tableSize = 24) {
  const uint32_t optionalSize = pe32Plus ? 0xF0 : 0xE0;
  const uint32_t directories = kOptionalOffset + (pe32Plus ? 112 : 96);
  const uint32_t headersEnd = kOptionalOffset + optionalSize;
  const uint32_t tableOffset = (headersEnd + codeSize + 7) & ~7u;
  Image image{std::vector<uint8_t>(tableOffset + tableSize, 0), kOptionalOffset + 64,
              directories + 4 * 8, tableOffset};
  std::vector<uint8_t>& b = image.bytes;
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kPeOffset);
  b[kPeOffset] = 'P';
  b[kPeOffset + 1] = 'E';
  b[kPeOffset + 4] = 0x4C;  // i386
  b[kPeOffset + 5] = 0x01;
  b[kPeOffset + 20] = static_cast<uint8_t>(optionalSize);
  b[kOptionalOffset] = 0x0B;
  b[kOptionalOffset + 1] = pe32Plus ? 0x02 : 0x01;
  Put32(b, image.checksumOffset, 0x00C0FFEE);
  Put32(b, kOptionalOffset + (pe32Plus ? 108 : 92), 16);
  Put32(b, image.certEntryOffset, tableOffset);
  Put32(b, image.certEntryOffset + 4, tableSize);
  for (uint32_t i = headersEnd; i < tableOffset; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  for (uint32_t i = tableOffset; i < b.size(); ++i) b[i] = 0x5A;
  return image;
}

// The Authenticode digest of the image in this world: the simulated hash of
// every byte but the CheckSum field, entry 4 and the certificate table.
inline std::vector<uint8_t> Digest(const Image& image, ALG_ID algorithm) {
  const std::vector<uint8_t>& b = image.bytes;
  std::vector<uint8_t> hashed(b.begin(), b.begin() + image.checksumOffset);
  hashed.insert(hashed.end(), b.begin() + image.checksumOffset + 4,
                b.begin() + image.certEntryOffset);
  hashed.insert(hashed.end(), b.begin() + image.certEntryOffset + 8,
                b.begin() + image.certTableOffset);
  return sim::SimulatedDigest(algorithm, hashed);
}

}  // namespace pe_image
