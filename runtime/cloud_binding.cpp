// Finding and binding the cloud copy of the runtime library. Its absence is the
// normal case on a player's own machine, so it is reported as "client only",
// not as an error.
#include "runtime/cloud_binding.h"

#include <cwchar>

#include "runtime/runtime.h"
#include "secureload/shell_api.h"
#include "secureload/verified_load.h"

const WCHAR kCloudLibrarySuffix[] = L"\\KORVEX Corporation\\Stratoplay\\STP32.dll";

namespace {

constexpr size_t kCloudPathCapacity = MAX_PATH;
constexpr size_t kCloudLibrarySuffixLength = sizeof(kCloudLibrarySuffix) / sizeof(WCHAR) - 1;
static_assert(kCloudLibrarySuffixLength == 40, "the suffix is 40 characters");

struct CloudExport {
  const char* name;
  FARPROC CloudRuntimeTable::*field;
};

// Every export the library may offer, in table order. Only stpInitializeRuntimeSdk2
// is required; the others are bound when present.
constexpr CloudExport kCloudExports[] = {
    {"stpInitializeRuntimeSdk2", &CloudRuntimeTable::initializeRuntimeSdk2},
    {"stpShutdownRuntimeSdk", &CloudRuntimeTable::shutdownRuntimeSdk},
    {"stpIsInitialized", &CloudRuntimeTable::isInitialized},
    {"stpIsRunningInCloud", &CloudRuntimeTable::isRunningInCloud},
    {"stpIsRunningInCloudSecure", &CloudRuntimeTable::isRunningInCloudSecure},
    {"stpRegisterExitCallback", &CloudRuntimeTable::registerExitCallback},
    {"stpRegisterSaveCallback", &CloudRuntimeTable::registerSaveCallback},
    {"stpRegisterSessionInitCallback", &CloudRuntimeTable::registerSessionInitCallback},
    {"stpRegisterPauseCallback", &CloudRuntimeTable::registerPauseCallback},
    {"stpRegisterInstallCallback", &CloudRuntimeTable::registerInstallCallback},
    {"stpIsTitleAvailable", &CloudRuntimeTable::isTitleAvailable},
    {"stpGetTitlesAvailable", &CloudRuntimeTable::getTitlesAvailable},
    {"stpSetupTitle", &CloudRuntimeTable::setupTitle},
    {"stpTitleExited", &CloudRuntimeTable::titleExited},
    {"stpGetClientIp", &CloudRuntimeTable::getClientIp},
    {"stpGetClientLanguageCode", &CloudRuntimeTable::getClientLanguageCode},
    {"stpGetClientCountryCode", &CloudRuntimeTable::getClientCountryCode},
    {"stpGetCustomData", &CloudRuntimeTable::getCustomData},
    {"stpGetAuthData", &CloudRuntimeTable::getAuthData},
    {"stpFree", &CloudRuntimeTable::free},
    {"stpAppReady", &CloudRuntimeTable::appReady},
    {"stpSetActionZone", &CloudRuntimeTable::setActionZone},
};
static_assert(sizeof(kCloudExports) / sizeof(kCloudExports[0]) == 22, "22 exports");

}  // namespace

RuntimeResult BindCloudRuntime(const VerifyObserver* observer) {
  // Binding happens at most once between shutdowns.
  if (g_cloudInitResult != kRuntimeNotInitialized) return g_cloudInitResult;

  // Without the system's shell libraries there is no folder to look in: the
  // same as a failed folder query.
  const bool shell = BindShellApi();
  WCHAR path[kCloudPathCapacity] = {};
  // Only a query that answered exactly 1 gives a folder; whatever another
  // answer left in the buffer is not a path to look at.
  bool named = false;
  if (shell &&
      g_shellApi.SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE) == 1) {
    // A folder so long that the suffix does not fit cannot hold the library we
    // look for; a cut path could name another file, so it counts as absent.
    size_t folderLength = wcsnlen(path, kCloudPathCapacity);
    named = folderLength + kCloudLibrarySuffixLength < kCloudPathCapacity;
    if (named) wmemcpy(path + folderLength, kCloudLibrarySuffix, kCloudLibrarySuffixLength + 1);
  }
  ObservePath(observer, kObservedLibrary, kObservedCloudLibrary, named ? path : nullptr);
  if (!named || !g_shellApi.PathFileExistsW(path)) {
    Observe(observer, kObservedAbsent);
    return kRuntimeClientOnly;
  }

  HMODULE module = LoadVerifiedLibrary(path, kPolicyPinnedChain, observer);
  Observe(observer, kObservedLoad, module != nullptr ? 1 : 0, GetLastError());
  // Its DllMain has run (or, refused, nothing of it has).
  AfterRuntimeLibraryCall();
  if (module == nullptr) return kRuntimeCloudLoadFailed;

  auto* table = static_cast<CloudRuntimeTable*>(CrtAlloc(sizeof(CloudRuntimeTable)));
  if (table == nullptr) {
    FreeLibrary(module);
    AfterRuntimeLibraryCall();
    return kRuntimeOutOfMemory;
  }
  table->module = module;
  for (const CloudExport& entry : kCloudExports) {
    table->*entry.field = GetProcAddress(module, entry.name);
  }
  if (table->initializeRuntimeSdk2 == nullptr) {
    FreeLibrary(module);
    AfterRuntimeLibraryCall();
    CrtFree(table);
    return kRuntimeEntryPointMissing;
  }
  g_cloudRuntime = table;
  return kRuntimeOk;
}
