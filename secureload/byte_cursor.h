// The one reader for bytes the verifier reads itself (a PE file's headers, the
// DER of a signature's parts): a view that owns nothing. Every read checks the
// bytes that remain before it touches one, and either advances past what it
// read or fails and leaves the cursor as it was. Positions and lengths are
// 32-bit and no sum is formed that could wrap.
#pragma once

#include <cstdint>

class ByteCursor {
 public:
  ByteCursor() = default;
  ByteCursor(const uint8_t* data, uint32_t size)
      : data_(data), size_(data == nullptr ? 0 : size) {}

  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  bool Empty() const { return size_ == 0; }

  // Reads at an offset from the front, for fixed layouts; they do not advance.
  bool Has(uint32_t offset, uint32_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  bool U16LeAt(uint32_t offset, uint16_t* value) const {
    if (!Has(offset, 2)) return false;
    *value = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  bool U16BeAt(uint32_t offset, uint16_t* value) const {
    if (!Has(offset, 2)) return false;
    *value = static_cast<uint16_t>((data_[offset] << 8) | data_[offset + 1]);
    return true;
  }
  bool U32LeAt(uint32_t offset, uint32_t* value) const {
    if (!Has(offset, 4)) return false;
    *value = static_cast<uint32_t>(data_[offset]) |
             (static_cast<uint32_t>(data_[offset + 1]) << 8) |
             (static_cast<uint32_t>(data_[offset + 2]) << 16) |
             (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  // Whether the bytes at offset are exactly `expected`.
  bool SameAt(uint32_t offset, const uint8_t* expected, uint32_t length) const {
    if (!Has(offset, length)) return false;
    for (uint32_t i = 0; i < length; ++i) {
      if (data_[offset + i] != expected[i]) return false;
    }
    return true;
  }
  // The view of [offset, offset + length).
  bool ViewAt(uint32_t offset, uint32_t length, ByteCursor* out) const {
    if (!Has(offset, length)) return false;
    *out = ByteCursor(data_ + offset, length);
    return true;
  }

  // Reads off the front.
  bool ReadBytes(uint32_t count, ByteCursor* out) {
    if (count > size_) return false;
    *out = ByteCursor(data_, count);
    data_ += count;
    size_ -= count;
    return true;
  }
  bool ReadByte(uint8_t* value) {
    if (size_ == 0) return false;
    *value = data_[0];
    ++data_;
    --size_;
    return true;
  }

  // How a DER element's long-form length of zero octets (0x80, which DER
  // forbids) is read.
  enum LengthForm : uint8_t {
    kDefiniteOnly,         // refused
    kZeroOctetsAreEmpty,   // as the length 0
  };

  // One DER element: tag octet, a length in short form or long form of at
  // most four octets, and content that lies within what remains. Gives the
  // tag and the content. This is the time-stamp walk's hot path, so it works
  // on plain locals.
  bool ReadElement(uint8_t* tag, ByteCursor* content, LengthForm form = kDefiniteOnly) {
    const uint8_t* p = data_;
    uint32_t left = size_;
    if (left < 2) return false;
    const uint8_t first = p[0];
    uint32_t length = p[1];
    p += 2;
    left -= 2;
    if (length & 0x80) {
      const uint32_t octets = length & 0x7F;
      if (octets > kMaxLengthOctets || octets > left) return false;
      if (octets == 0 && form == kDefiniteOnly) return false;
      length = 0;
      for (uint32_t i = 0; i < octets; ++i) length = (length << 8) | p[i];
      p += octets;
      left -= octets;
    }
    if (length > left) return false;
    *tag = first;
    *content = ByteCursor(p, length);
    data_ = p + length;
    size_ = left - length;
    return true;
  }

  // One element with this tag that is all of what remains.
  bool ReadWholeElement(uint8_t tag, ByteCursor* content) const {
    ByteCursor rest = *this;
    uint8_t found = 0;
    return rest.ReadElement(&found, content) && found == tag && rest.Empty();
  }

 private:
  // Longer lengths describe nothing a 32-bit range can hold.
  static constexpr uint32_t kMaxLengthOctets = 4;

  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};
