// Binding of the cloud copy of the runtime library, which exists only on
// Stratoplay cloud machines under the common application-data folder.
#pragma once

#include "platform/platform.h"
#include "runtime/runtime_result.h"
#include "secureload/verify_observer.h"

// The bound cloud library: its module and every entry point it exports, in this
// order. A null entry point is one the library does not export. Only module,
// initializeRuntimeSdk2, shutdownRuntimeSdk and isRunningInCloud are used.
struct CloudRuntimeTable {
  HMODULE module;
  FARPROC initializeRuntimeSdk2;
  FARPROC shutdownRuntimeSdk;
  FARPROC isInitialized;
  FARPROC isRunningInCloud;
  FARPROC isRunningInCloudSecure;
  FARPROC registerExitCallback;
  FARPROC registerSaveCallback;
  FARPROC registerSessionInitCallback;
  FARPROC registerPauseCallback;
  FARPROC registerInstallCallback;
  FARPROC isTitleAvailable;
  FARPROC getTitlesAvailable;
  FARPROC setupTitle;
  FARPROC titleExited;
  FARPROC getClientIp;
  FARPROC getClientLanguageCode;
  FARPROC getClientCountryCode;
  FARPROC getCustomData;
  FARPROC getAuthData;
  FARPROC free;
  FARPROC appReady;
  FARPROC setActionZone;
};

// "\KORVEX Corporation\Stratoplay\STP32.dll", appended to the common
// application-data folder.
extern const WCHAR kCloudLibrarySuffix[];

// Binds the cloud library once between shutdowns. Returns kRuntimeOk with
// g_cloudRuntime set, kRuntimeClientOnly when the file is absent, or a failure;
// a cached result is returned unchanged while g_cloudInitResult holds one.
// observer, when not null, is told where it looked and what the load did.
[[nodiscard]] RuntimeResult BindCloudRuntime(const VerifyObserver* observer = nullptr);
