// The start-up floor of verifying one signed library: only what the platform
// itself must do for the file, with no policy of our own on top.
//
//   bench_trust_floor.exe [FILE]
//
// FILE defaults to StpRuntimeSdk.dll beside this exe. crypt32.dll and
// wintrust.dll come from the system directory; the file's embedded signature
// is opened once with CryptQueryObject and the file is judged once by
// WinVerifyTrust (generic Authenticode action) with the same request the probe
// makes: structure size 52, no UI, revocation of the whole chain, a file
// subject, state ignored, URL retrieval from the cache only.
//
// Prints "query 0xQQQQQQQQ trust 0xTTTTTTTT" (the last error after a failed
// query, 0 after a good one; the trust status) and exits 0 only when both
// succeeded, so a run that did not do the whole job is never timed as one.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>
#include <cstdio>

namespace {

// The request up to and including pSignatureSettings, which not every SDK
// header declares: 52 bytes on 32-bit Windows, 88 on 64-bit.
struct TrustRequest {
  DWORD cbStruct;
  void* pPolicyCallbackData;
  void* pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  WINTRUST_FILE_INFO* pFile;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
};
static_assert(sizeof(TrustRequest) == (sizeof(void*) == 4 ? 52u : 88u),
              "the request is 52 bytes on 32-bit Windows and 88 on 64-bit");
static_assert(offsetof(TrustRequest, dwUIContext) == offsetof(WINTRUST_DATA, dwUIContext),
              "the request starts like the SDK's WINTRUST_DATA");

constexpr DWORD kCacheOnlyUrlRetrieval = 0x1000;  // WTD_CACHE_ONLY_URL_RETRIEVAL
// WINTRUST_ACTION_GENERIC_VERIFY_V2, the generic Authenticode action.
constexpr GUID kGenericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0,
                                   {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

using CryptQueryObjectFn = decltype(&::CryptQueryObject);
using CryptMsgCloseFn = decltype(&::CryptMsgClose);
using CertCloseStoreFn = decltype(&::CertCloseStore);
using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);

// "0x" and eight hexadecimal digits; printf's formatting code would make this
// exe larger than the probe.
void PutHex(const char* label, unsigned long value) {
  char text[32];
  size_t n = 0;
  while (*label != '\0') text[n++] = *label++;
  text[n++] = '0';
  text[n++] = 'x';
  for (int shift = 28; shift >= 0; shift -= 4) {
    text[n++] = "0123456789abcdef"[(value >> shift) & 0xF];
  }
  text[n] = '\0';
  std::fputs(text, stdout);
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// StpRuntimeSdk.dll in this exe's directory.
bool BesideThisExe(wchar_t* path, DWORD capacity) {
  const DWORD length = GetModuleFileNameW(nullptr, path, capacity);
  if (length == 0 || length >= capacity) return false;
  wchar_t* slash = nullptr;
  for (wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\') slash = p;
  }
  static const wchar_t kName[] = L"StpRuntimeSdk.dll";
  if (slash == nullptr || (slash + 1 - path) + sizeof(kName) / sizeof(wchar_t) > capacity) {
    return false;
  }
  for (size_t i = 0; i < sizeof(kName) / sizeof(wchar_t); ++i) slash[1 + i] = kName[i];
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t beside[MAX_PATH * 2];
  const wchar_t* path = argc > 1 ? argv[1] : nullptr;
  if (path == nullptr) {
    if (!BesideThisExe(beside, sizeof(beside) / sizeof(beside[0]))) {
      std::fputs("no path\n", stdout);
      return 2;
    }
    path = beside;
  }

  HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (crypt32 == nullptr || wintrust == nullptr) {
    PutHex("load ", GetLastError());
    std::fputs("\n", stdout);
    return 2;
  }
  const auto queryObject = Export<CryptQueryObjectFn>(crypt32, "CryptQueryObject");
  const auto msgClose = Export<CryptMsgCloseFn>(crypt32, "CryptMsgClose");
  const auto closeStore = Export<CertCloseStoreFn>(crypt32, "CertCloseStore");
  const auto verifyTrust = Export<WinVerifyTrustFn>(wintrust, "WinVerifyTrust");
  if (!queryObject || !msgClose || !closeStore || !verifyTrust) {
    std::fputs("exports missing\n", stdout);
    return 2;
  }

  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  DWORD queryError = 0;
  if (!queryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                   CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
                   nullptr)) {
    queryError = GetLastError();
  }
  if (store != nullptr) closeStore(store, 0);
  if (message != nullptr) msgClose(message);

  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  TrustRequest request = {};
  request.cbStruct = sizeof(request);
  request.dwUIChoice = WTD_UI_NONE;
  request.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  request.dwUnionChoice = WTD_CHOICE_FILE;
  request.pFile = &file;
  request.dwStateAction = WTD_STATEACTION_IGNORE;
  request.dwProvFlags = kCacheOnlyUrlRetrieval;
  GUID action = kGenericVerifyV2;
  const LONG status = verifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);

  PutHex("query ", queryError);
  PutHex(" trust ", static_cast<unsigned long>(status));
  std::fputs("\n", stdout);
  return queryError == 0 && status == 0 ? 0 : 1;
}
