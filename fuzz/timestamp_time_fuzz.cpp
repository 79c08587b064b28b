// FindTimestampTime over arbitrary bytes. The first byte chooses the flag (its
// low bit), the rest is the range; libFuzzer hands each input in a heap block
// of exactly its size, so any read past the range is reported.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "secureload/timestamp_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t insideTstInfo = data[0] & 1u;
  const uint8_t* der = data + 1;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  const uint64_t time = FindTimestampTime(der, length, insideTstInfo);
  if (time == 0) return 0;
  // Anything found is fourteen decimal digits that stand in the range as text.
  if (time > 99999999999999ull) abort();
  char digits[15];
  snprintf(digits, sizeof digits, "%014llu", static_cast<unsigned long long>(time));
  for (uint32_t i = 0; i + 14 <= length; ++i) {
    if (memcmp(der + i, digits, 14) == 0) return 0;
  }
  abort();
}
