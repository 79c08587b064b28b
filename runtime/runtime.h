// Bringing the Stratoplay runtime up and down: the cloud copy first, then the
// client copy beside the executable.
#pragma once

#include "platform/platform.h"
#include "runtime/cloud_binding.h"
#include "runtime/runtime_result.h"
#include "secureload/verify_observer.h"

extern CloudRuntimeTable* g_cloudRuntime;  // the bound cloud library, or null
extern RuntimeResult g_cloudInitResult;    // cached result of the last cloud binding
extern HMODULE g_clientRuntimeModule;      // the loaded client library, or null

// "StpRuntimeSdk.dll"
extern const WCHAR kClientLibraryName[];

// Called after a runtime library is loaded or unloaded and after every call
// into one: a library may replace process-wide settings of its caller's (an
// unhandled-exception filter of its own), and the caller puts its own back.
// Null, the default: nothing is called.
void SetAfterRuntimeLibraryCall(void (*afterCall)());
// Calls what SetAfterRuntimeLibraryCall set, if anything.
void AfterRuntimeLibraryCall();

// Derives the client library's path beside the executable and initialises.
// observer, when not null, is told each step (verify_observer.h).
[[nodiscard]] RuntimeResult InitializeRuntime(const VerifyObserver* observer = nullptr);
// path: NUL-terminated UTF-8 absolute path naming the client library.
[[nodiscard]] RuntimeResult InitializeRuntimeFromPath(const char* path,
                                                      const VerifyObserver* observer = nullptr);
// Asks the bound cloud library; false when nothing is bound or it cannot answer.
[[nodiscard]] bool IsRunningInCloud();
void ShutdownRuntime();
