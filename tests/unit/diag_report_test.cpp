// The companion's lines from what the run reported: each copy's lines follow
// the steps heard, and nothing is said of a step that was not taken.
#include "probe/diag_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/runtime_result.h"
#include "secureload/nested_binding.h"

namespace {

const wchar_t kClientPath[] = L"C:\\Games\\StpRuntimeSdk.dll";
const wchar_t kHeldPath[] = L"\\\\?\\C:\\Games\\StpRuntimeSdk.dll";
constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kNoMatch = static_cast<DWORD>(CRYPT_E_NO_MATCH);

ObservedEvent Step(ObservedStep step, DWORD verdict = 0, DWORD error = 0, DWORD binding = 0,
                   LPCWSTR path = nullptr) {
  return ObservedEvent{step, verdict, error, binding, path};
}

// The client copy's lines after these steps (those of the run follow them).
std::vector<std::string> ClientLines(const std::vector<ObservedEvent>& steps) {
  ObservedRun run;
  const VerifyObserver observer = RecordingObserver(&run);
  observer.notice(observer.context,
                  Step(kObservedLibrary, kObservedClientLibrary, 0, 0, kClientPath));
  for (const ObservedEvent& step : steps) observer.notice(observer.context, step);
  std::vector<std::string> lines = DiagnosisLines(kDllSearchSystemOnly, run, "test", 9200, "{}\n");
  std::vector<std::string> client;
  for (const std::string& line : lines) {
    if (line.rfind("client library ", 0) == 0 && line.rfind("client library loaded", 0) != 0) {
      client.push_back(line);
    }
  }
  return client;
}

std::vector<std::string> Expected(std::vector<std::string> after) {
  after.insert(after.begin(), "client library path: C:\\Games\\StpRuntimeSdk.dll");
  return after;
}

TEST(DiagReportTest, EachCopysLinesFollowTheStepsHeard) {
  const auto held = Step(kObservedHeldPath, 0, 0, 0, kHeldPath);
  struct Case {
    const char* label;
    std::vector<ObservedEvent> steps;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"no file",
       {Step(kObservedAttributes, INVALID_FILE_ATTRIBUTES),
        Step(kObservedLoad, 0, ERROR_MOD_NOT_FOUND)},
       {"client library present: no", "client library verified load: not tried (no file)"}},
      // A directory is refused before any signature: no signer lines.
      {"a directory",
       {Step(kObservedAttributes, FILE_ATTRIBUTE_DIRECTORY),
        Step(kObservedLoad, 0, ERROR_MOD_NOT_FOUND)},
       {"client library present: a directory", "client library verified path: (none)",
        "client library verified load: refused 0x0000007e ERROR_MOD_NOT_FOUND"}},
      {"the primary signer accepted",
       {Step(kObservedAttributes, kFile), held, Step(kObservedPrimarySigner, 1, 0),
        Step(kObservedLoad, 1, 0)},
       {"client library present: yes",
        "client library verified path: \\\\?\\C:\\Games\\StpRuntimeSdk.dll",
        "client library verified load: accepted", "client library primary signer: accepted"}},
      // One nested line for the one candidate the walk visited, whatever else
      // the attribute holds.
      {"the walk's one candidate refused",
       {Step(kObservedAttributes, kFile), held, Step(kObservedRefusal, kRefusalNameChains),
        Step(kObservedPrimarySigner, 0, 0), Step(kObservedNestedSigner, 0, 0, kNestedChainUntrusted),
        Step(kObservedLoad, 0, kNoMatch)},
       {"client library present: yes",
        "client library verified path: \\\\?\\C:\\Games\\StpRuntimeSdk.dll",
        "client library verified load: refused 0x80092009 CRYPT_E_NO_MATCH",
        "client library primary signer: refused, signer names are not an allowed chain",
        "client library nested signer: refused, chain does not verify"}},
      {"candidates in walk order",
       {Step(kObservedAttributes, kFile), held,
        Step(kObservedRefusal, kRefusalTrustVerdict),
        Step(kObservedPrimarySigner, 0, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)),
        Step(kObservedNestedSigner, 0, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG),
             kObservedUnreadable),
        Step(kObservedNestedSigner, 0, 0, kNestedNotThisFile),
        Step(kObservedNestedSigner, 0, static_cast<DWORD>(TRUST_E_TIME_STAMP), kNestedBound),
        Step(kObservedNestedSigner, 0, 0, kNestedChainNotAllowed),
        Step(kObservedRefusal, kRefusalForgedLink),
        Step(kObservedNestedSigner, 0, static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), kNestedBound),
        Step(kObservedNestedSigner, 1, 0, kNestedBound), Step(kObservedLoad, 1, 0)},
       {"client library present: yes",
        "client library verified path: \\\\?\\C:\\Games\\StpRuntimeSdk.dll",
        "client library verified load: accepted",
        "client library primary signer: refused 0x800b0109 CERT_E_UNTRUSTEDROOT",
        "client library nested signer: unreadable 0x8009310b CRYPT_E_ASN1_BADTAG",
        "client library nested signer: refused, does not sign this file",
        "client library nested signer: refused 0x80096005 TRUST_E_TIME_STAMP",
        "client library nested signer: refused, chain verifies but is not an allowed chain",
        "client library nested signer: refused, pinned chain, but a certificate was not signed by "
        "the one above it",
        "client library nested signer: accepted"}},
      {"no embedded signature",
       {Step(kObservedAttributes, kFile), held, Step(kObservedNoSignature, 0, kNoMatch),
        Step(kObservedLoad, 0, kNoMatch)},
       {"client library present: yes",
        "client library verified path: \\\\?\\C:\\Games\\StpRuntimeSdk.dll",
        "client library verified load: refused 0x80092009 CRYPT_E_NO_MATCH",
        "client library primary signer: no embedded signature 0x80092009 CRYPT_E_NO_MATCH"}},
      {"no trust libraries",
       {Step(kObservedAttributes, kFile), held,
        Step(kObservedTrustLibrariesMissing, 0, ERROR_MOD_NOT_FOUND),
        Step(kObservedLoad, 0, kNoMatch)},
       {"client library present: yes",
        "client library verified path: \\\\?\\C:\\Games\\StpRuntimeSdk.dll",
        "client library verified load: refused 0x80092009 CRYPT_E_NO_MATCH",
        "client library primary signer: not examined (the trust libraries were not loaded)"}},
      // Held by someone else: the signature was never looked at, so no verdict.
      {"not held",
       {Step(kObservedAttributes, kFile), Step(kObservedLoad, 0, ERROR_SHARING_VIOLATION)},
       {"client library present: yes", "client library verified path: (none)",
        "client library verified load: refused 0x00000020 ERROR_SHARING_VIOLATION",
        "client library primary signer: not examined (the verified load stopped before it)"}},
      // Signed, then refused by its DllMain; told no final path. A code the
      // companion has no name for is shown as a number.
      {"refused by its DllMain",
       {Step(kObservedAttributes, kFile), Step(kObservedHeldPath), Step(kObservedPrimarySigner, 1, 0),
        Step(kObservedLoad, 0, 0x45A /* ERROR_DLL_INIT_FAILED */)},
       {"client library present: yes", "client library verified path: (none)",
        "client library verified load: refused 0x0000045a unknown",
        "client library primary signer: accepted"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ClientLines(c.steps), Expected(c.lines));
  }
}

// A path is written as UTF-8 whatever its code units: a surrogate pair is one
// code point, anything unpaired or out of range is U+FFFD.
TEST(DiagReportTest, PathsAreWrittenAsUtf8) {
  struct Case {
    const char* label;
    std::vector<uint32_t> units;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {"one and two bytes", {0x7F, 0x80}, "\x7F\xC2\x80"},
      {"two and three bytes", {0x7FF, 0x800}, "\xDF\xBF\xE0\xA0\x80"},
      {"the last of three bytes, a pair ending the path", {0xFFFF, 0xD800, 0xDC00},
       "\xEF\xBF\xBF\xF0\x90\x80\x80"},
      {"the last code point", {0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
      {"a high surrogate before a letter", {0xD800, 'A'}, "\xEF\xBF\xBD" "A"},
      {"a low surrogate after a letter", {'A', 0xDC00}, "A\xEF\xBF\xBD"},
      {"a reversed pair", {0xDFFF, 0xDBFF}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"two low surrogates", {0xDC00, 0xDC00}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"two high surrogates", {0xD800, 0xDBFF}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"next to the surrogates", {0xD7FF, 0xDC00, 0xDBFF, 0xE000},
       "\xED\x9F\xBF\xEF\xBF\xBD\xEF\xBF\xBD\xEE\x80\x80"},
      {"past the last code point", {0x110000}, "\xEF\xBF\xBD"},
      {"a high surrogate before a unit past the low ones", {0xDBFF, 0xFFFF}, "\xEF\xBF\xBD\xEF\xBF\xBF"},
      {"a low surrogate past the first before another", {0xDFFF, 0xDC00}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::wstring path;
    for (uint32_t unit : c.units) path += static_cast<wchar_t>(unit);
    const std::vector<std::string> lines = ClientLines(
        {Step(kObservedAttributes, kFile), Step(kObservedHeldPath, 0, 0, 0, path.c_str())});
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "client library verified path: " + c.utf8);
  }
}

TEST(DiagReportTest, TheRunsLinesComeFromWhatTheRunReported) {
  ObservedRun run;
  const VerifyObserver observer = RecordingObserver(&run);
  auto tell = [&](const ObservedEvent& e) { observer.notice(observer.context, e); };
  // No path for the cloud copy (the folder query failed), the client copy
  // loaded, its library's own value.
  tell(Step(kObservedLibrary, kObservedCloudLibrary));
  tell(Step(kObservedAbsent));
  tell(Step(kObservedCloudBinding, static_cast<DWORD>(kRuntimeClientOnly)));
  tell(Step(kObservedLibrary, kObservedClientLibrary, 0, 0, kClientPath));
  tell(Step(kObservedAttributes, kFile));
  tell(Step(kObservedPrimarySigner, 1, 0));
  tell(Step(kObservedLoad, 1, 0));
  tell(Step(kObservedRuntimeResult, 42, 0));
  tell(Step(kObservedAnswer, 0, 0));
  const std::vector<std::string> lines = DiagnosisLines(kDllSearchSystemOnly, run, "release", 7600, "{}\n");
  const std::vector<std::string> expected = {
      "dll search: system directory, runtime library dependencies also beside the exe",
      "pins: release",
      "client library path: C:\\Games\\StpRuntimeSdk.dll",
      "client library present: yes",
      "client library verified path: (none)",
      "client library verified load: accepted",
      "client library primary signer: accepted",
      "cloud library path: (none)",
      "cloud library present: no",
      "cloud library verified load: not tried (no file)",
      "cloud binding result: 1 kRuntimeClientOnly",
      "cloud library bound: no",
      "client library loaded: yes",
      "runtime result: 42 returned by the runtime library",
      "in cloud: not asked",
      "system build level: 7600",
      "answer: {}",
  };
  EXPECT_EQ(lines, expected);

  // What the run's end says: the client copy's load, the question, the report
  // without its line end.
  struct End {
    const char* label;
    RuntimeResult binding;
    DWORD loaded, asked, inCloud;
    const char* report;
    std::vector<std::string> lines;
  };
  const std::vector<End> ends = {
      {"refused, asked, not in the cloud", kRuntimeCloudLoadFailed, 0, 1, 0, "{}\r\n",
       {"cloud library bound: no", "client library loaded: no", "in cloud: no", "answer: {}"}},
      {"loaded, in the cloud", kRuntimeOk, 1, 1, 1, "{\"cloud_platform\":\"STP\"}\n",
       {"cloud library bound: yes", "client library loaded: yes", "in cloud: yes",
        "answer: {\"cloud_platform\":\"STP\"}"}},
      // Only the line end goes: what comes before it is shown as it is.
      {"a tab before the line end", kRuntimeOk, 1, 1, 0, "{}\t\r\n",
       {"cloud library bound: yes", "client library loaded: yes", "in cloud: no", "answer: {}\t"}},
      {"no report", kRuntimeOk, 1, 1, 0, nullptr,
       {"cloud library bound: yes", "client library loaded: yes", "in cloud: no", "answer: "}},
  };
  for (const End& e : ends) {
    SCOPED_TRACE(e.label);
    ObservedRun ended;
    const VerifyObserver heard = RecordingObserver(&ended);
    heard.notice(heard.context, Step(kObservedLibrary, kObservedClientLibrary, 0, 0, kClientPath));
    heard.notice(heard.context, Step(kObservedCloudBinding, static_cast<DWORD>(e.binding)));
    heard.notice(heard.context, Step(kObservedLoad, e.loaded, 0));
    heard.notice(heard.context, Step(kObservedAnswer, e.asked, e.inCloud));
    std::vector<std::string> last;
    for (const std::string& line : DiagnosisRunLines(ended, 9200, e.report)) {
      if (line.rfind("cloud library bound", 0) == 0 ||
          line.rfind("client library loaded", 0) == 0 || line.rfind("in cloud", 0) == 0 ||
          line.rfind("answer", 0) == 0) {
        last.push_back(line);
      }
    }
    EXPECT_EQ(last, e.lines);
  }

  // Never announced: the run did not get that far; steps heard before any copy
  // was announced are filed under neither.
  ObservedRun unannounced;
  const VerifyObserver heard = RecordingObserver(&unannounced);
  heard.notice(heard.context, Step(kObservedAttributes, kFile));
  heard.notice(heard.context, Step(kObservedLoad, 1, 0));
  const std::vector<std::string> early = DiagnosisLines(kDllSearchSystemOnly, unannounced, "test", 0, "{}\n");
  ASSERT_GE(early.size(), 5u);
  EXPECT_EQ(early[2], "client library path: (none)");
  EXPECT_EQ(early[3], "client library present: not looked for");
  EXPECT_EQ(early[4], "client library verified load: not tried");
  // Nothing of the run heard: not bound, no result, not asked.
  ASSERT_GE(early.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(early.end() - 7, early.end() - 2),
            (std::vector<std::string>{"cloud binding result: -18 kRuntimeNotInitialized",
                                      "cloud library bound: no", "client library loaded: no",
                                      "runtime result: -18 kRuntimeNotInitialized",
                                      "in cloud: not asked"}));

  EXPECT_EQ(DiagnosisLines(kDllSearchUnchanged, ObservedRun{}, "release", 0, "{}\n"),
            (std::vector<std::string>{
                "dll search: the working directory could not be taken out; nothing loaded",
                "answer: {}"}));
  // A loader without default directories: only the working directory went.
  EXPECT_EQ(DiagnosisLines(kDllSearchWithoutWorkingDirectory, ObservedRun{}, "release", 0, "{}\n")[0],
            "dll search: standard order without the working directory (no default DLL directories)");
}

}  // namespace
