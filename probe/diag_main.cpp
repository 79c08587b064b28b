// platform_probe_diag: the diagnostic companion of platform_probe, for
// integrators who ask "why does the probe say {}?".
//
// It is built from the same logic as the probe and first makes exactly the
// probe's run (initialise, ask, shut down). Then it looks again at each copy
// of the runtime library on its own: where it is expected, whether it is
// there, and what the verified loader and the signer check say about it. It
// prints one "name: value" line per fact and exits 0. The probe itself is not
// changed by any of this and stays silent.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "probe/probe.h"
#include "probe/process_guard.h"
#include "runtime/cloud_binding.h"
#include "runtime/runtime.h"
#include "secureload/crypto_api.h"
#include "secureload/shell_api.h"
#include "secureload/nested_binding.h"
#include "secureload/signature_policy.h"
#include "secureload/signer_policy.h"
#include "secureload/system_library.h"
#include "secureload/verified_load.h"

#ifndef PROBE_DIAG_PINS
#define PROBE_DIAG_PINS "release"
#endif

namespace {

struct NamedCode {
  DWORD code;
  const char* name;
};

// Last-error values the loader, the signature walk, the signer policy and the
// platform's trust provider are known to leave.
constexpr NamedCode kErrorNames[] = {
    {0x00000000, "ERROR_SUCCESS"},
    {0x00000002, "ERROR_FILE_NOT_FOUND"},
    {0x00000003, "ERROR_PATH_NOT_FOUND"},
    {0x00000005, "ERROR_ACCESS_DENIED"},
    {0x00000008, "ERROR_NOT_ENOUGH_MEMORY"},
    {0x00000020, "ERROR_SHARING_VIOLATION"},
    {0x0000007E, "ERROR_MOD_NOT_FOUND"},
    {0x0000007F, "ERROR_PROC_NOT_FOUND"},
    {0x000000A0, "ERROR_BAD_ARGUMENTS"},
    {0x000000C1, "ERROR_BAD_EXE_FORMAT"},
    {0x000003EE, "ERROR_FILE_INVALID"},
    {0x80091004, "CRYPT_E_INVALID_MSG_TYPE"},
    {0x80092002, "CRYPT_E_BAD_ENCODE"},
    {0x80092004, "CRYPT_E_NOT_FOUND"},
    {0x80092007, "CRYPT_E_SELF_SIGNED"},
    {0x80092009, "CRYPT_E_NO_MATCH"},
    {0x80092012, "CRYPT_E_NO_REVOCATION_CHECK"},
    {0x80092013, "CRYPT_E_REVOCATION_OFFLINE"},
    {0x80093100, "CRYPT_E_ASN1_ERROR"},
    {0x80093102, "CRYPT_E_ASN1_EOD"},
    {0x8009310B, "CRYPT_E_ASN1_BADTAG"},
    {0x80096001, "TRUST_E_SYSTEM_ERROR"},
    {0x80096002, "TRUST_E_NO_SIGNER_CERT"},
    {0x80096003, "TRUST_E_COUNTER_SIGNER"},
    {0x80096004, "TRUST_E_CERT_SIGNATURE"},
    {0x80096005, "TRUST_E_TIME_STAMP"},
    {0x80096010, "TRUST_E_BAD_DIGEST"},
    {0x80096019, "TRUST_E_BASIC_CONSTRAINTS"},
    {0x8009601E, "TRUST_E_FINANCIAL_CRITERIA"},
    {0x800B0001, "TRUST_E_PROVIDER_UNKNOWN"},
    {0x800B0002, "TRUST_E_ACTION_UNKNOWN"},
    {0x800B0003, "TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {0x800B0004, "TRUST_E_SUBJECT_NOT_TRUSTED"},
    {0x800B0100, "TRUST_E_NOSIGNATURE"},
    {0x800B0101, "CERT_E_EXPIRED"},
    {0x800B0102, "CERT_E_VALIDITYPERIODNESTING"},
    {0x800B0104, "CERT_E_PATHLENCONST"},
    {0x800B0105, "CERT_E_CRITICAL"},
    {0x800B0106, "CERT_E_PURPOSE"},
    {0x800B0109, "CERT_E_UNTRUSTEDROOT"},
    {0x800B010A, "CERT_E_CHAINING"},
    {0x800B010C, "CERT_E_REVOKED"},
    {0x800B010E, "CERT_E_REVOCATION_FAILURE"},
    {0x800B0110, "CERT_E_WRONG_USAGE"},
    {0x800B0111, "TRUST_E_EXPLICIT_DISTRUST"},
};

const char* ErrorName(DWORD code) {
  for (const NamedCode& entry : kErrorNames)
    if (entry.code == code) return entry.name;
  return "unknown";
}

struct NamedResult {
  RuntimeResult value;
  const char* name;
};

constexpr NamedResult kResultNames[] = {
    {kRuntimeOk, "kRuntimeOk"},
    {kRuntimeClientOnly, "kRuntimeClientOnly"},
    {kRuntimeClientLibraryMissing, "kRuntimeClientLibraryMissing"},
    {kRuntimeOutOfMemory, "kRuntimeOutOfMemory"},
    {kRuntimeSetupFailed, "kRuntimeSetupFailed"},
    {kRuntimeCloudLoadFailed, "kRuntimeCloudLoadFailed"},
    {kRuntimeEntryPointMissing, "kRuntimeEntryPointMissing"},
    {kRuntimeNotInitialized, "kRuntimeNotInitialized"},
};

void PrintResult(const char* label, RuntimeResult value) {
  for (const NamedResult& entry : kResultNames) {
    if (entry.value == value) {
      std::printf("%s: %ld %s\n", label, static_cast<long>(value), entry.name);
      return;
    }
  }
  std::printf("%s: %ld returned by the runtime library\n", label, static_cast<long>(value));
}

void PrintError(const char* label, const char* verdict, DWORD code) {
  std::printf("%s: %s 0x%08lx %s\n", label, verdict, static_cast<unsigned long>(code),
              ErrorName(code));
}

// What one copy of the runtime library is, as the probe would look at it.
struct LibraryReport {
  const char* name;  // "client" or "cloud"
  SignaturePolicy policy;
  WCHAR path[MAX_PATH + 64];
  bool havePath;
};

// The client copy's path as the probe derives it: the executable's directory
// and the library's name.
bool ClientPath(WCHAR* out, size_t capacity) {
  WCHAR module[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return false;
  WCHAR* slash = wcsrchr(module, L'\\');
  if (slash == nullptr) return false;
  slash[1] = L'\0';
  if (wcslen(module) + wcslen(kClientLibraryName) + 1 > capacity) return false;
  wcscpy(out, module);
  wcscat(out, kClientLibraryName);
  return true;
}

// The cloud copy's path: the common application-data folder and the suffix.
bool CloudPath(WCHAR* out, size_t capacity) {
  WCHAR folder[MAX_PATH] = {};
  if (!BindShellApi() ||
      g_shellApi.SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE) != 1) {
    return false;
  }
  if (wcslen(folder) + wcslen(kCloudLibrarySuffix) + 1 > capacity) return false;
  wcscpy(out, folder);
  wcscat(out, kCloudLibrarySuffix);
  return true;
}

// szOID_NESTED_SIGNATURE; not every SDK's wincrypt.h names it.
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

const char* NestedRefusal(NestedBinding verdict) {
  switch (verdict) {
    case kNestedSignatureInvalid: return "signature does not verify";
    case kNestedNotThisFile: return "does not sign this file";
    case kNestedChainUntrusted: return "chain does not verify";
    default: return "could not be checked";
  }
}

// One nested signature, judged as the verified load judges it: its own proofs
// first, then the signer check.
void PrintNestedSigner(const char* label, const CRYPT_ATTR_BLOB& value, HANDLE file,
                       const LibraryReport& lib) {
  const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  HCRYPTMSG nested = g_cryptoApi.CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
  HCERTSTORE store = nullptr;
  PCMSG_SIGNER_INFO signer = nullptr;
  DWORD size = 0;
  if (nested != nullptr && g_cryptoApi.CryptMsgUpdate(nested, value.pbData, value.cbData, TRUE) &&
      g_cryptoApi.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) &&
      size != 0) {
    signer = static_cast<PCMSG_SIGNER_INFO>(LocalAlloc(LPTR, size));
  }
  if (signer != nullptr &&
      g_cryptoApi.CryptMsgGetParam(nested, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
    store = g_cryptoApi.CertOpenStore(CERT_STORE_PROV_MSG, encoding, 0, 0, nested);
  }
  if (store == nullptr) {
    PrintError(label, "unreadable", GetLastError());
  } else {
    const NestedBinding binding = ProveNestedBinding(nested, *signer, store, file, lib.policy, nullptr);
    if (binding != kNestedBound) {
      std::printf("%s: refused, %s\n", label, NestedRefusal(binding));
    } else if (VerifySigner(signer, store, lib.path, lib.policy)) {
      std::printf("%s: accepted\n", label);
    } else {
      PrintError(label, "refused", GetLastError());
    }
    g_cryptoApi.CertCloseStore(store, 0);
  }
  LocalFree(signer);
  if (nested != nullptr) g_cryptoApi.CryptMsgClose(nested);
}

// Every value of the primary signer's first nested-signature attribute.
void PrintNestedSigners(const CMSG_SIGNER_INFO& primary, const LibraryReport& lib) {
  char label[64];
  std::snprintf(label, sizeof label, "%s library nested signer", lib.name);
  const CRYPT_ATTRIBUTES& attrs = primary.UnauthAttrs;
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    if (lstrcmpA(attrs.rgAttr[i].pszObjId, kNestedSignatureOid) != 0) continue;
    HANDLE file = CreateFileW(lib.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      PrintError(label, "not examined, the file cannot be opened", GetLastError());
      return;
    }
    for (DWORD j = 0; j < attrs.rgAttr[i].cValue; ++j) {
      PrintNestedSigner(label, attrs.rgAttr[i].rgValue[j], file, lib);
    }
    CloseHandle(file);
    return;
  }
}

// The primary signer of the file's embedded signature, judged by the same
// signer check the verified loader uses. Needs the crypt32 table, which the
// verified load has filled when it got as far as the signature.
void PrintPrimarySigner(const LibraryReport& lib) {
  char label[64];
  std::snprintf(label, sizeof label, "%s library primary signer", lib.name);
  if (g_cryptoApi.CertVerifyTimeValidity == nullptr) {
    std::printf("%s: not examined (the trust libraries were not loaded)\n", label);
    return;
  }
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!g_cryptoApi.CryptQueryObject(CERT_QUERY_OBJECT_FILE, lib.path,
                                    CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                    CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                                    &store, &message, nullptr)) {
    PrintError(label, "no embedded signature", GetLastError());
    return;
  }
  DWORD size = 0;
  PCMSG_SIGNER_INFO signer = nullptr;
  if (g_cryptoApi.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) &&
      size != 0) {
    signer = static_cast<PCMSG_SIGNER_INFO>(LocalAlloc(LPTR, size));
  }
  if (signer != nullptr &&
      g_cryptoApi.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
    DWORD accepted = VerifySigner(signer, store, lib.path, lib.policy);
    DWORD error = GetLastError();
    if (accepted)
      std::printf("%s: accepted\n", label);
    else
      PrintError(label, "refused", error);
    if (!accepted) PrintNestedSigners(*signer, lib);
  } else {
    PrintError(label, "unreadable", GetLastError());
  }
  LocalFree(signer);
  g_cryptoApi.CertCloseStore(store, 0);
  g_cryptoApi.CryptMsgClose(message);
}

void PrintLibrary(LibraryReport& lib) {
  std::printf("%s library path: %ls\n", lib.name, lib.havePath ? lib.path : L"(none)");
  DWORD attributes = lib.havePath ? GetFileAttributesW(lib.path) : INVALID_FILE_ATTRIBUTES;
  const char* presence = attributes == INVALID_FILE_ATTRIBUTES          ? "no"
                         : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "a directory"
                                                                        : "yes";
  std::printf("%s library present: %s\n", lib.name, presence);
  char label[64];
  std::snprintf(label, sizeof label, "%s library verified load", lib.name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    std::printf("%s: not tried (no file)\n", label);
    return;
  }
  LPWSTR heldPath = nullptr;
  HMODULE module = LoadVerifiedLibraryWithPath(lib.path, lib.policy, &heldPath);
  DWORD error = GetLastError();
  // The held file's own name: what the signature check and the loader were
  // given, every junction and link resolved.
  std::printf("%s library verified path: %ls\n", lib.name, heldPath != nullptr ? heldPath : L"(none)");
  LocalFree(heldPath);
  if (module != nullptr) {
    std::printf("%s: accepted\n", label);
    FreeLibrary(module);
  } else {
    PrintError(label, "refused", error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) PrintPrimarySigner(lib);
}

}  // namespace

int main(int, char**) {
  // Set up as the probe sets itself up, before any library is loaded.
  GuardProcess();
  if (!NarrowDllSearch()) {
    std::printf("dll search: the working directory could not be taken out; nothing loaded\n");
    std::printf("answer: {}\n");
    return 0;
  }
  std::printf("dll search: system directory, runtime library dependencies also beside the exe\n");

  // The probe's own run, first, in a process in its first state.
  bool inCloud = false;
  bool asked = false;
  RuntimeResult result = InitializeRuntime();
  RuntimeResult binding = g_cloudInitResult;
  bool clientLoaded = g_clientRuntimeModule != nullptr;
  bool cloudBound = g_cloudRuntime != nullptr;
  if (result == kRuntimeOk && g_cloudRuntime != nullptr) {
    asked = true;
    inCloud = IsRunningInCloud();
  }
  ShutdownRuntime();

  std::printf("pins: %s\n", PROBE_DIAG_PINS);
  LibraryReport client = {"client", kPolicyNamedChains, {}, false};
  client.havePath = ClientPath(client.path, sizeof client.path / sizeof client.path[0]);
  LibraryReport cloud = {"cloud", kPolicyPinnedChain, {}, false};
  cloud.havePath = CloudPath(cloud.path, sizeof cloud.path / sizeof cloud.path[0]);
  PrintLibrary(client);
  PrintLibrary(cloud);

  PrintResult("cloud binding result", binding);
  std::printf("cloud library bound: %s\n", cloudBound ? "yes" : "no");
  std::printf("client library loaded: %s\n", clientLoaded ? "yes" : "no");
  PrintResult("runtime result", result);
  std::printf("in cloud: %s\n", !asked ? "not asked" : inCloud ? "yes" : "no");
  // 9200: trust libraries loaded with the System32-only search flag; 7600:
  // by full System32 path (older systems); 0: none was needed.
  std::printf("system build level: %lu\n", static_cast<unsigned long>(g_systemBuildLevel));
  const char* report = inCloud ? kReportInCloud : kReportNotInCloud;
  // The report without its newline.
  std::printf("answer: %.*s\n", static_cast<int>(std::strlen(report) - 1), report);
  return 0;
}
