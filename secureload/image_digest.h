// The Authenticode digest of a PE image: the file hashed from its start with
// three ranges left out, the optional header's CheckSum field, the
// certificate-table entry of the data directory, and the certificate table
// itself, which Authenticode places at the end of the file.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "secureload/load_context.h"

// Where the three left-out ranges lie in one file. Offsets are file offsets;
// checksumOffset < certEntryOffset < certTableOffset <= fileSize, and the
// certificate table runs from certTableOffset to the end of the file.
struct ImageDigestLayout {
  uint32_t checksumOffset;   // 4 bytes
  uint32_t certEntryOffset;  // 8 bytes: the table's offset and size
  uint32_t certTableOffset;
  uint32_t fileSize;
};

constexpr uint32_t kImageChecksumSize = 4;
constexpr uint32_t kImageDirectoryEntrySize = 8;
// The file is read in blocks of this size; the headers must lie in the first.
constexpr uint32_t kImageReadBlock = 64 * 1024;

// Reads the layout from the file's first headerSize bytes (all of the file,
// or its first kImageReadBlock bytes) and the file's size. Every field is
// read through one bounds-checked reader; a header that is malformed,
// truncated, names no certificate table, or a table that is not exactly the
// end of the file, gives false.
[[nodiscard]] bool ReadImageDigestLayout(const BYTE* headers, uint32_t headerSize,
                                         uint32_t fileSize, ImageDigestLayout* layout);

// The image digest of the file open behind `file`, read through the handle at
// explicit offsets, in one pass of kImageReadBlock-sized reads. algorithm is
// CALG_SHA1 or CALG_SHA_256. False when the image is malformed, cannot be
// read, or the hash cannot be computed.
[[nodiscard]] bool ComputeImageDigest(HANDLE file, ALG_ID algorithm, BYTE* digest,
                                      DWORD capacity, DWORD* digestSize);

// The image digest of the file the load holds (context.file) for this
// algorithm: computed with ComputeImageDigest the first time the load asks for
// it, and taken from the context every later time, failure included. *digest
// points into the context.
[[nodiscard]] bool HeldImageDigest(LoadContext& context, ALG_ID algorithm, const BYTE** digest,
                                   DWORD* digestSize);
