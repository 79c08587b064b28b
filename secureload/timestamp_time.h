// Reading the generation time of an RFC 3161 time-stamp token from its DER bytes.
#pragma once

#include <cstdint>

// Maximum nesting of constructed elements the walk descends into.
constexpr unsigned kTimestampMaxDepth = 32;

// der/length: DER elements one after another. insideTstInfo: nonzero when the
// range is already the TSTInfo. Returns genTime as a decimal YYYYMMDDHHMMSS, or
// 0 when none is found.
[[nodiscard]] uint64_t FindTimestampTime(const uint8_t* der, uint32_t length,
                                         uint32_t insideTstInfo);
