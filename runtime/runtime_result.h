// Result codes of bringing the Stratoplay runtime up. Negative values are the
// wrapper's own failures; any value not listed here was returned by the runtime
// library itself and is passed through unchanged.
#pragma once

#include <cstdint>

using RuntimeResult = int32_t;

constexpr RuntimeResult kRuntimeOk = 0;
constexpr RuntimeResult kRuntimeClientOnly = 1;  // the cloud library file is not present
constexpr RuntimeResult kRuntimeClientLibraryMissing = -2;
constexpr RuntimeResult kRuntimeOutOfMemory = -6;
constexpr RuntimeResult kRuntimeSetupFailed = -8;
constexpr RuntimeResult kRuntimeCloudLoadFailed = -14;
constexpr RuntimeResult kRuntimeEntryPointMissing = -17;
constexpr RuntimeResult kRuntimeNotInitialized = -18;
