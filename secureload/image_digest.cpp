// The Authenticode image digest of a PE file, computed over the bytes the
// verified load holds open. The file is hostile input: its header fields are
// read through one reader that checks every read against the bytes it has,
// and every offset is formed so that it cannot wrap in 32 bits.
#include "secureload/image_digest.h"

#include "secureload/byte_cursor.h"
#include "secureload/platform_hash.h"

namespace {

constexpr uint32_t kDosHeaderSize = 0x40;
constexpr uint32_t kNewHeaderOffsetField = 0x3C;  // e_lfanew
constexpr uint8_t kDosSignature[] = {'M', 'Z'};
constexpr uint8_t kPeSignature[] = {'P', 'E', 0, 0};
constexpr uint32_t kPeSignatureSize = sizeof kPeSignature;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderSizeField = 16;  // within the file header
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kChecksumField = 64;  // within the optional header, both forms
// NumberOfRvaAndSizes and the data directory, within the optional header.
constexpr uint32_t kPe32DirectoryCountField = 92;
constexpr uint32_t kPe32DirectoryStart = 96;
constexpr uint32_t kPe32PlusDirectoryCountField = 108;
constexpr uint32_t kPe32PlusDirectoryStart = 112;
constexpr uint32_t kCertificateTableIndex = 4;

// a + b, unless that passes limit.
bool AddWithin(uint32_t a, uint32_t b, uint32_t limit, uint32_t* sum) {
  if (a > limit || b > limit - a) return false;
  *sum = a + b;
  return true;
}

// Reads exactly `size` bytes at `offset` through the handle.
bool ReadAt(HANDLE file, uint32_t offset, BYTE* buffer, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    OVERLAPPED at = {};
    at.Offset = offset + done;  // offset + size lies within the file: no wrap
    at.OffsetHigh = 0;
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, size - done, &got, &at) || got == 0 ||
        got > size - done) {
      return false;
    }
    done += got;
  }
  return true;
}

// Hashes the part of [start, start + length) that lies in [from, to).
bool HashPart(PlatformHash& hash, const BYTE* block, uint32_t start, uint32_t length,
              uint32_t from, uint32_t to) {
  const uint32_t end = start + length;
  const uint32_t lo = from > start ? from : start;
  const uint32_t hi = to < end ? to : end;
  if (lo >= hi) return true;
  return hash.Update(block + (lo - start), hi - lo);
}

}  // namespace

bool ReadImageDigestLayout(const BYTE* headers, uint32_t headerSize, uint32_t fileSize,
                           ImageDigestLayout* layout) {
  if (headers == nullptr || headerSize > fileSize) return false;
  const ByteCursor view(headers, headerSize);
  uint32_t peOffset = 0;
  if (!view.Has(0, kDosHeaderSize) || !view.SameAt(0, kDosSignature, sizeof kDosSignature) ||
      !view.U32LeAt(kNewHeaderOffsetField, &peOffset)) {
    return false;
  }
  uint32_t fileHeader = 0;
  uint32_t optional = 0;
  uint16_t optionalSize = 0;
  if (!view.SameAt(peOffset, kPeSignature, kPeSignatureSize) ||
      !AddWithin(peOffset, kPeSignatureSize, headerSize, &fileHeader) ||
      !AddWithin(fileHeader, kFileHeaderSize, headerSize, &optional) ||
      !view.U16LeAt(fileHeader + kOptionalHeaderSizeField, &optionalSize)) {
    return false;
  }
  ByteCursor header;
  uint16_t magic = 0;
  if (!view.ViewAt(optional, optionalSize, &header) || !header.U16LeAt(0, &magic)) return false;
  uint32_t countField = 0;
  uint32_t directoryStart = 0;
  if (magic == kPe32Magic) {
    countField = kPe32DirectoryCountField;
    directoryStart = kPe32DirectoryStart;
  } else if (magic == kPe32PlusMagic) {
    countField = kPe32PlusDirectoryCountField;
    directoryStart = kPe32PlusDirectoryStart;
  } else {
    return false;
  }
  uint32_t directoryCount = 0;
  const uint32_t entry = directoryStart + kCertificateTableIndex * kImageDirectoryEntrySize;
  uint32_t tableOffset = 0;
  uint32_t tableSize = 0;
  if (!header.Has(kChecksumField, kImageChecksumSize) ||
      !header.U32LeAt(countField, &directoryCount) || directoryCount <= kCertificateTableIndex ||
      !header.U32LeAt(entry, &tableOffset) || !header.U32LeAt(entry + 4, &tableSize)) {
    return false;
  }
  // The header lies inside the file's first bytes, so these cannot wrap.
  const uint32_t entryOffset = optional + entry;
  const uint32_t headersEnd = entryOffset + kImageDirectoryEntrySize;
  // The table must be there, after everything else that is left out, and be
  // exactly the end of the file.
  if (tableSize == 0 || tableOffset < headersEnd || tableOffset > fileSize ||
      fileSize - tableOffset != tableSize) {
    return false;
  }
  layout->checksumOffset = optional + kChecksumField;
  layout->certEntryOffset = entryOffset;
  layout->certTableOffset = tableOffset;
  layout->fileSize = fileSize;
  return true;
}

bool ComputeImageDigest(HANDLE file, ALG_ID algorithm, BYTE* digest, DWORD capacity,
                        DWORD* digestSize) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || size.QuadPart > 0xFFFFFFFFll) {
    return false;
  }
  const uint32_t fileSize = static_cast<uint32_t>(size.QuadPart);
  BYTE* block = static_cast<BYTE*>(CrtAlloc(kImageReadBlock));
  if (block == nullptr) return false;

  bool ok = false;
  PlatformHash hash;
  ImageDigestLayout layout = {};
  const uint32_t first = fileSize < kImageReadBlock ? fileSize : kImageReadBlock;
  if (ReadAt(file, 0, block, first) && ReadImageDigestLayout(block, first, fileSize, &layout) &&
      hash.Begin(algorithm)) {
    // One pass over everything before the certificate table; each block is
    // hashed with the CheckSum field and the table's entry left out.
    const uint32_t afterChecksum = layout.checksumOffset + kImageChecksumSize;
    const uint32_t afterEntry = layout.certEntryOffset + kImageDirectoryEntrySize;
    ok = true;
    uint32_t position = 0;
    while (ok && position < layout.certTableOffset) {
      const uint32_t left = layout.certTableOffset - position;
      const uint32_t length = left < kImageReadBlock ? left : kImageReadBlock;
      if (position != 0 && !ReadAt(file, position, block, length)) {
        ok = false;
        break;
      }
      ok = HashPart(hash, block, position, length, 0, layout.checksumOffset) &&
           HashPart(hash, block, position, length, afterChecksum, layout.certEntryOffset) &&
           HashPart(hash, block, position, length, afterEntry, layout.certTableOffset);
      position += length;
    }
    ok = ok && hash.Finish(digest, capacity, digestSize);
  }
  CrtFree(block);
  return ok;
}

bool HeldImageDigest(LoadContext& context, ALG_ID algorithm, const BYTE** digest,
                     DWORD* digestSize) {
  ImageDigestMemo* memo = nullptr;
  for (ImageDigestMemo& slot : context.digests) {
    if (slot.algorithm == algorithm || (memo == nullptr && slot.algorithm == 0)) memo = &slot;
    if (slot.algorithm == algorithm) break;
  }
  if (algorithm == 0 || memo == nullptr) return false;
  if (memo->algorithm == 0) {
    memo->algorithm = algorithm;
    memo->computed = ComputeImageDigest(context.file, algorithm, memo->bytes, sizeof memo->bytes,
                                        &memo->size);
  }
  *digest = memo->bytes;
  *digestSize = memo->size;
  return memo->computed;
}
