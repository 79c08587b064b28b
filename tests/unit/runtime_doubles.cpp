// A stand-in for the verified loader in the runtime tests: it maps exactly the
// files the test marked as accepted and refuses the rest the way the real
// loader reports a refused signature.
#include "tests/unit/runtime_doubles.h"

#include "secureload/verified_load.h"

std::vector<LoaderCall> g_loaderCalls;
std::set<std::wstring> g_acceptedLibraries;

HMODULE LoadVerifiedLibrary(LPCWSTR path, SignaturePolicy policy, const VerifyObserver*) {
  g_loaderCalls.push_back({path, policy});
  if (g_acceptedLibraries.count(path) == 0) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
    return nullptr;
  }
  return LoadLibraryExW(path, nullptr, 0);
}
