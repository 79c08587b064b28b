// Bringing the Stratoplay runtime up and down. The cloud copy decides the
// result unless it is simply absent; then the client copy beside the
// executable does.
#include "runtime/runtime.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "runtime/runtime_library.h"
#include "secureload/verified_load.h"

CloudRuntimeTable* g_cloudRuntime = nullptr;
RuntimeResult g_cloudInitResult = kRuntimeNotInitialized;
HMODULE g_clientRuntimeModule = nullptr;

const WCHAR kClientLibraryName[] = L"StpRuntimeSdk.dll";

namespace {

void (*g_afterLibraryCall)() = nullptr;

constexpr size_t kClientLibraryNameLength = sizeof(kClientLibraryName) / sizeof(WCHAR) - 1;
static_assert(kClientLibraryNameLength == 17, "the client library name is 17 characters");

// The first fetch of the executable's path uses the classic path limit; the
// platform's own limit for any path is 32,767 characters plus the terminator.
constexpr DWORD kFirstPathCapacity = MAX_PATH;
constexpr DWORD kLongestPathCapacity = 32768;

// The executable's full path in a C-runtime buffer the caller releases, or null.
// Only a complete path is returned: a cut one could name a parent directory and
// send us looking for the client library in the wrong place.
WCHAR* FetchExecutablePath() {
  DWORD capacity = kFirstPathCapacity;
  for (;;) {
    auto* buffer = static_cast<WCHAR*>(CrtAlloc(capacity * sizeof(WCHAR)));
    if (buffer == nullptr) return nullptr;
    DWORD length = GetModuleFileNameW(nullptr, buffer, capacity);
    if (length != 0 && length < capacity) return buffer;
    CrtFree(buffer);
    // Zero is an outright failure; a result equal to the capacity means the path
    // was cut. Grow until the platform's limit, then give up.
    if (length == 0 || capacity == kLongestPathCapacity) return nullptr;
    DWORD grown = capacity == kFirstPathCapacity ? capacity + 1 : capacity * 2;
    capacity = grown < kLongestPathCapacity ? grown : kLongestPathCapacity;
  }
}

// The text after the last separator; both '\' and '/' separate, the later one
// wins. Null when the path holds neither.
const WCHAR* FileNamePart(const WCHAR* path) {
  const WCHAR* backslash = wcsrchr(path, L'\\');
  const WCHAR* slash = wcsrchr(path, L'/');
  const WCHAR* last = backslash > slash ? backslash : slash;
  return last == nullptr ? nullptr : last + 1;
}

RuntimeResult InitializeClient(RuntimeResult cloudResult) {
  RuntimeResult clientResult = kRuntimeClientLibraryMissing;
  if (g_clientRuntimeModule != nullptr) {
    auto initialize = ProcAs<StpInitializeRuntimeSdkFn>(
        GetProcAddress(g_clientRuntimeModule, kStpInitializeRuntimeSdk));
    // Called whenever the client library is loaded and offers it, whatever the
    // cloud half said.
    clientResult = kRuntimeEntryPointMissing;
    if (initialize != nullptr) {
      clientResult = initialize(kClientInitializeArgument);
      AfterRuntimeLibraryCall();
    }
  }
  return cloudResult == kRuntimeClientOnly ? clientResult : cloudResult;
}

}  // namespace

void SetAfterRuntimeLibraryCall(void (*afterCall)()) { g_afterLibraryCall = afterCall; }

void AfterRuntimeLibraryCall() {
  if (g_afterLibraryCall != nullptr) g_afterLibraryCall();
}

RuntimeResult InitializeRuntime(const VerifyObserver* observer) {
  WCHAR* modulePath = FetchExecutablePath();
  if (modulePath == nullptr) return kRuntimeSetupFailed;

  const WCHAR* lastBackslash = wcsrchr(modulePath, L'\\');
  if (lastBackslash == nullptr) {
    // No directory to look in; the platform always gives one, so this is not a
    // path we can trust.
    CrtFree(modulePath);
    return kRuntimeSetupFailed;
  }
  size_t directoryLength = static_cast<size_t>(lastBackslash - modulePath) + 1;
  size_t widePathLength = directoryLength + kClientLibraryNameLength;

  auto* widePath = static_cast<WCHAR*>(CrtAlloc((widePathLength + 1) * sizeof(WCHAR)));
  if (widePath == nullptr) {
    CrtFree(modulePath);
    return kRuntimeSetupFailed;
  }
  wmemcpy(widePath, modulePath, directoryLength);
  widePath[directoryLength] = L'\0';
  CrtFree(modulePath);
  wmemcpy(widePath + directoryLength, kClientLibraryName, kClientLibraryNameLength + 1);

  // Sized by the conversion itself: a directory with accented or CJK names needs
  // more bytes than characters. Unpaired surrogates fail the conversion rather
  // than turning into a different path.
  int utf8Size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, widePath, -1, nullptr, 0,
                                     nullptr, nullptr);
  if (utf8Size <= 0) {
    CrtFree(widePath);
    return kRuntimeSetupFailed;
  }
  auto* utf8Path = static_cast<char*>(CrtAlloc(static_cast<size_t>(utf8Size)));
  if (utf8Path == nullptr) {
    CrtFree(widePath);
    return kRuntimeSetupFailed;
  }
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, widePath, -1, utf8Path, utf8Size,
                          nullptr, nullptr) != utf8Size) {
    CrtFree(utf8Path);
    CrtFree(widePath);
    return kRuntimeSetupFailed;
  }

  RuntimeResult result = InitializeRuntimeFromPath(utf8Path, observer);
  CrtFree(utf8Path);
  CrtFree(widePath);
  return result;
}

RuntimeResult InitializeRuntimeFromPath(const char* path, const VerifyObserver* observer) {
  if (path == nullptr) return kRuntimeSetupFailed;

  size_t byteLength = strlen(path);
  // The conversion counts in int. No shorter length is refused: the client
  // path beside an executable path the platform allowed can take up to three
  // bytes per character, and more characters than the executable's own path
  // when the executable's name is short; the loader judges it.
  if (byteLength >= static_cast<size_t>(INT_MAX)) return kRuntimeSetupFailed;
  size_t capacity = byteLength + 1;
  auto* widePath = static_cast<WCHAR*>(CrtAlloc(capacity * sizeof(WCHAR)));
  if (widePath == nullptr) return kRuntimeSetupFailed;
  int converted = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath,
                                      static_cast<int>(capacity));
  if (converted <= 0) {
    CrtFree(widePath);
    return kRuntimeSetupFailed;
  }

  // Nothing is opened unless the path names the client library. A path without
  // any separator is not an absolute path and cannot name it.
  const WCHAR* fileName = FileNamePart(widePath);
  if (fileName == nullptr || _wcsicmp(fileName, kClientLibraryName) != 0) {
    CrtFree(widePath);
    return kRuntimeSetupFailed;
  }

  RuntimeResult cloudResult = BindCloudRuntime(observer);
  g_cloudInitResult = cloudResult;
  Observe(observer, kObservedCloudBinding, static_cast<DWORD>(cloudResult));
  if (cloudResult == kRuntimeOk) {
    auto initialize2 = g_cloudRuntime != nullptr
                           ? ProcAs<StpInitializeRuntimeSdk2Fn>(g_cloudRuntime->initializeRuntimeSdk2)
                           : nullptr;
    cloudResult = kRuntimeEntryPointMissing;
    if (initialize2 != nullptr) {
      cloudResult = initialize2(kCloudInitializeArgument);
      AfterRuntimeLibraryCall();
    }
  }

  if (g_clientRuntimeModule != nullptr) {
    CrtFree(widePath);
    return kRuntimeOk;
  }
  ObservePath(observer, kObservedLibrary, kObservedClientLibrary, widePath);
  g_clientRuntimeModule = LoadVerifiedLibrary(widePath, kPolicyNamedChains, observer);
  Observe(observer, kObservedLoad, g_clientRuntimeModule != nullptr ? 1 : 0, GetLastError());
  CrtFree(widePath);
  // Its DllMain has run (or, refused, nothing of it has).
  AfterRuntimeLibraryCall();

  return InitializeClient(cloudResult);
}

bool IsRunningInCloud() {
  if (g_cloudRuntime == nullptr || g_cloudRuntime->isRunningInCloud == nullptr) return false;
  auto isRunningInCloud = ProcAs<StpIsRunningInCloudFn>(g_cloudRuntime->isRunningInCloud);
  const int answer = isRunningInCloud();
  AfterRuntimeLibraryCall();
  // The answer is a boolean in the low byte; higher bits are noise.
  return (static_cast<unsigned>(answer) & 0xFFu) != 0;
}

void ShutdownRuntime() {
  if (g_cloudRuntime != nullptr) {
    if (g_cloudRuntime->shutdownRuntimeSdk != nullptr) {
      ProcAs<StpShutdownRuntimeSdkFn>(g_cloudRuntime->shutdownRuntimeSdk)();
      AfterRuntimeLibraryCall();
    }
    // Unloading runs its DllMain; a filter it left would point at unmapped code.
    if (g_cloudRuntime->module != nullptr) {
      FreeLibrary(g_cloudRuntime->module);
      AfterRuntimeLibraryCall();
    }
    CrtFree(g_cloudRuntime);
    g_cloudRuntime = nullptr;
    g_cloudInitResult = kRuntimeNotInitialized;
  }
  // The client library stays mapped until the process ends; only its shutdown
  // entry point is called, looked up afresh.
  if (g_clientRuntimeModule != nullptr) {
    auto shutdown =
        ProcAs<StpShutdownRuntimeSdkFn>(GetProcAddress(g_clientRuntimeModule, kStpShutdownRuntimeSdk));
    if (shutdown != nullptr) {
      shutdown();
      AfterRuntimeLibraryCall();
    }
  }
}
