// What the probe passes to the Stratoplay runtime library and what it relies on.
// Both copies are reached only through exports looked up by name, and every
// entry point uses the caller-cleans-stack C calling convention.
#pragma once

#include "platform/platform.h"
#include "runtime/runtime_result.h"

// cloud copy
using StpInitializeRuntimeSdk2Fn = RuntimeResult(__cdecl*)(float version);
using StpIsRunningInCloudFn = int(__cdecl*)();
// both copies
using StpShutdownRuntimeSdkFn = int(__cdecl*)();
// client copy
using StpInitializeRuntimeSdkFn = RuntimeResult(__cdecl*)(int32_t flags);

// Arguments the probe hands over; their meaning belongs to the library.
constexpr float kCloudInitializeArgument = 1.6f;
constexpr int32_t kClientInitializeArgument = 0;

constexpr const char kStpInitializeRuntimeSdk2[] = "stpInitializeRuntimeSdk2";
constexpr const char kStpInitializeRuntimeSdk[] = "stpInitializeRuntimeSdk";
constexpr const char kStpShutdownRuntimeSdk[] = "stpShutdownRuntimeSdk";
constexpr const char kStpIsRunningInCloud[] = "stpIsRunningInCloud";
