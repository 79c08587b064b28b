// The companion's lines, made from what the run's checks reported.
#include "probe/diag_report.h"

#include <cstdarg>
#include <cstdio>

#include "runtime/runtime_result.h"
#include "secureload/nested_binding.h"

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
    {0x000000DF, "ERROR_FILE_TOO_LARGE"},
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
  for (const NamedCode& entry : kErrorNames) {
    if (entry.code == code) return entry.name;
  }
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

const char* NestedRefusal(DWORD binding) {
  switch (binding) {
    case kNestedSignatureInvalid:
      return "signature does not verify";
    case kNestedNotThisFile:
      return "does not sign this file";
    case kNestedChainUntrusted:
      return "chain does not verify";
    case kNestedChainNotAllowed:
      return "chain verifies but is not an allowed chain";
    default:
      return "could not be checked";
  }
}

// What a gate's refusal is told as; null where the code it left says it best
// (the platform's trust verdict) or no gate said why.
const char* RefusalWords(DWORD refusal) {
  switch (refusal) {
    case kRefusalNoSignerCertificate:
      return "signer certificate not in the signature";
    case kRefusalSignerTwin:
      return "two different certificates claim the signer";
    case kRefusalSignatureUnverified:
      return "signature does not verify with the signer certificate";
    case kRefusalPinnedMismatch:
      return "certificates are not the pinned chain (names, keys or validity)";
    case kRefusalForgedLink:
      return "pinned chain, but a certificate was not signed by the one above it";
    case kRefusalNotSelfSigned:
      return "pinned chain, but it does not end in a self-signed root";
    case kRefusalNameChains:
      return "signer names are not an allowed chain";
    case kRefusalTimestamp:
      return "no time-stamp agreeing with the signing time";
    default:
      return nullptr;
  }
}

// A path as UTF-8, so that any name shows the same on every console.
std::string Utf8(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    // A UTF-16 surrogate pair (WCHAR is 16 bits on Windows).
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      const uint32_t low = static_cast<uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    // An unpaired surrogate, or a unit past the last code point (wchar_t is
    // 32 bits off Windows), has no UTF-8 form: the replacement character.
    if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

class Lines {
 public:
  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    lines_.emplace_back(line);
  }
  void AddPath(const char* label, bool have, const std::wstring& path) {
    lines_.push_back(std::string(label) + ": " + (have ? Utf8(path) : std::string("(none)")));
  }
  void AddError(const char* label, const char* verdict, DWORD code) {
    Add("%s: %s 0x%08lx %s", label, verdict, static_cast<unsigned long>(code), ErrorName(code));
  }
  void AddResult(const char* label, DWORD value) {
    const RuntimeResult result = static_cast<RuntimeResult>(value);
    for (const NamedResult& entry : kResultNames) {
      if (entry.value == result) {
        Add("%s: %ld %s", label, static_cast<long>(result), entry.name);
        return;
      }
    }
    Add("%s: %ld returned by the runtime library", label, static_cast<long>(result));
  }
  // A gate's refusal in words, or the code it left where there are none.
  void AddRefusal(const char* label, DWORD refusal, DWORD code) {
    const char* words = RefusalWords(refusal);
    if (words != nullptr) {
      Add("%s: refused, %s", label, words);
    } else {
      AddError(label, "refused", code);
    }
  }
  std::vector<std::string> Take() { return std::move(lines_); }

 private:
  std::vector<std::string> lines_;
};

void AddSigners(Lines& out, const std::string& name, const ObservedLibrary& lib) {
  const std::string primary = name + " library primary signer";
  switch (lib.signerStep) {
    case kObservedPrimarySigner:
      if (lib.signerVerdict != 0) {
        out.Add("%s: accepted", primary.c_str());
      } else {
        out.AddRefusal(primary.c_str(), lib.signerRefusal, lib.signerError);
      }
      break;
    case kObservedTrustLibrariesMissing:
      out.Add("%s: not examined (the trust libraries were not loaded)", primary.c_str());
      break;
    case kObservedNoSignature:
      out.AddError(primary.c_str(), "no embedded signature", lib.signerError);
      break;
    case kObservedSignerUnreadable:
      out.AddError(primary.c_str(), "unreadable", lib.signerError);
      break;
    default:
      out.Add("%s: not examined (the verified load stopped before it)", primary.c_str());
      break;
  }
  const std::string label = name + " library nested signer";
  for (const ObservedNestedSigner& nested : lib.nested) {
    if (nested.binding == kObservedUnreadable) {
      out.AddError(label.c_str(), "unreadable", nested.error);
    } else if (nested.binding != kNestedBound) {
      out.Add("%s: refused, %s", label.c_str(), NestedRefusal(nested.binding));
    } else if (nested.verdict != 0) {
      out.Add("%s: accepted", label.c_str());
    } else {
      out.AddRefusal(label.c_str(), nested.refusal, nested.error);
    }
  }
}

void AddLibrary(Lines& out, const char* name, const ObservedLibrary& lib) {
  const std::string prefix = std::string(name) + " library ";
  out.AddPath((prefix + "path").c_str(), lib.havePath, lib.path);
  const bool missing =
      lib.absent || (lib.haveAttributes && lib.attributes == INVALID_FILE_ATTRIBUTES);
  const bool directory =
      !missing && lib.haveAttributes && (lib.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const char* presence = !lib.lookedFor ? "not looked for"
                         : missing      ? "no"
                         : directory    ? "a directory"
                                        : "yes";
  out.Add("%spresent: %s", prefix.c_str(), presence);
  const std::string load = prefix + "verified load";
  if (!lib.lookedFor || missing) {
    out.Add("%s: not tried%s", load.c_str(), missing ? " (no file)" : "");
    return;
  }
  out.AddPath((prefix + "verified path").c_str(), lib.haveHeldPath, lib.heldPath);
  if (!lib.loadEnded) {
    out.Add("%s: not tried", load.c_str());
  } else if (lib.loaded != 0) {
    out.Add("%s: accepted", load.c_str());
  } else {
    out.AddError(load.c_str(), "refused", lib.loadError);
  }
  if (!directory) AddSigners(out, name, lib);
}

void Notice(void* context, const ObservedEvent& event) {
  ObservedRun& run = *static_cast<ObservedRun*>(context);
  if (event.step == kObservedLibrary) {
    run.current = event.verdict == kObservedCloudLibrary ? &run.cloud : &run.client;
    *run.current = ObservedLibrary{};
    run.current->lookedFor = true;
    run.current->havePath = event.path != nullptr;
    if (event.path != nullptr) run.current->path = event.path;
    return;
  }
  switch (event.step) {
    case kObservedCloudBinding:
      run.haveCloudBinding = true;
      run.cloudBinding = event.verdict;
      return;
    case kObservedRuntimeResult:
      run.haveRuntimeResult = true;
      run.runtimeResult = event.verdict;
      return;
    case kObservedAnswer:
      run.haveAnswer = true;
      run.asked = event.verdict;
      run.inCloud = event.error;
      return;
    default:
      break;
  }
  if (run.current == nullptr) return;  // a load nobody announced: nothing to file it under
  ObservedLibrary& lib = *run.current;
  switch (event.step) {
    case kObservedAbsent:
      lib.absent = true;
      break;
    case kObservedAttributes:
      lib.haveAttributes = true;
      lib.attributes = event.verdict;
      break;
    case kObservedHeldPath:
      lib.haveHeldPath = event.path != nullptr;
      if (event.path != nullptr) lib.heldPath = event.path;
      break;
    case kObservedTrustLibrariesMissing:
    case kObservedNoSignature:
    case kObservedSignerUnreadable:
    case kObservedPrimarySigner:
      lib.signerStep = event.step;
      lib.signerVerdict = event.verdict;
      lib.signerError = event.error;
      lib.signerRefusal = event.step == kObservedPrimarySigner ? lib.pendingRefusal : kRefusalNone;
      lib.pendingRefusal = kRefusalNone;
      break;
    case kObservedNestedSigner:
      lib.nested.push_back({event.binding, event.verdict, event.error, lib.pendingRefusal});
      lib.pendingRefusal = kRefusalNone;
      break;
    case kObservedRefusal:
      lib.pendingRefusal = event.verdict;
      break;
    case kObservedLoad:
      lib.loadEnded = true;
      lib.loaded = event.verdict;
      lib.loadError = event.error;
      break;
    default:
      break;
  }
}

}  // namespace

VerifyObserver RecordingObserver(ObservedRun* run) { return VerifyObserver{&Notice, run}; }

std::vector<std::string> DiagnosisLines(DllSearch search, const ObservedRun& run, const char* pins,
                                        DWORD systemBuildLevel, const char* report) {
  std::vector<std::string> lines = DiagnosisHeaderLines(search, pins);
  if (search == kDllSearchUnchanged) return lines;
  for (std::string& line : DiagnosisRunLines(run, systemBuildLevel, report)) {
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> DiagnosisHeaderLines(DllSearch search, const char* pins) {
  Lines out;
  switch (search) {
    case kDllSearchSystemOnly:
      out.Add("dll search: system directory, runtime library dependencies also beside the exe");
      break;
    case kDllSearchWithoutWorkingDirectory:
      // A loader without default DLL directories: only the older call worked.
      out.Add("dll search: standard order without the working directory (no default DLL directories)");
      break;
    default:
      out.Add("dll search: the working directory could not be taken out; nothing loaded");
      out.Add("answer: {}");
      return out.Take();
  }
  out.Add("pins: %s", pins);
  return out.Take();
}

std::vector<std::string> DiagnosisRunLines(const ObservedRun& run, DWORD systemBuildLevel,
                                           const char* report) {
  Lines out;
  AddLibrary(out, "client", run.client);
  AddLibrary(out, "cloud", run.cloud);
  out.AddResult("cloud binding result", run.haveCloudBinding
                                            ? run.cloudBinding
                                            : static_cast<DWORD>(kRuntimeNotInitialized));
  // The cloud table is bound exactly when the binding said kRuntimeOk; the
  // client copy is loaded when its verified load mapped it.
  const bool cloudBound =
      run.haveCloudBinding && static_cast<RuntimeResult>(run.cloudBinding) == kRuntimeOk;
  out.Add("cloud library bound: %s", cloudBound ? "yes" : "no");
  out.Add("client library loaded: %s",
          run.client.loadEnded && run.client.loaded != 0 ? "yes" : "no");
  out.AddResult("runtime result", run.haveRuntimeResult
                                      ? run.runtimeResult
                                      : static_cast<DWORD>(kRuntimeNotInitialized));
  out.Add("in cloud: %s", run.asked == 0 ? "not asked" : run.inCloud != 0 ? "yes" : "no");
  // 9200: trust libraries loaded with the System32-only search flag; 7600:
  // by full System32 path (older systems); 0: none was needed.
  out.Add("system build level: %lu", static_cast<unsigned long>(systemBuildLevel));
  // The report without its line end.
  std::string answer = report != nullptr ? report : "";
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  out.Add("answer: %s", answer.c_str());
  return out.Take();
}
