// The caller library's rules: which paths it starts, and which output is a
// report. The same cases as its Wine table (tests/e2e/caller.sh), plus the
// endings and lengths that a process cannot be made to show reliably there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "probe_caller_c.h"
#include "probe_caller_rules.h"

namespace {

using platform_probe::CheckProbePath;
using platform_probe::CloudPlatform;
using platform_probe::FailureKind;
using platform_probe::JudgeProbeOutput;

struct OutputCase {
  const char* label;
  std::string output;
  unsigned long exitCode;
  CloudPlatform platform;
  const char* reason;  // a part of the reason
  unsigned long detail;
  FailureKind kind = FailureKind::kNotAReport;
};

TEST(CallerRulesTest, OnlyAReportLineAndExitCodeZeroAnswer) {
  const std::string stp = "{\"cloud_platform\":\"STP\"}";
  const OutputCase cases[] = {
      {"in cloud, CR LF", stp + "\r\n", 0, CloudPlatform::kInCloud, "Stratoplay cloud", 0, FailureKind::kNone},
      {"in cloud, LF", stp + "\n", 0, CloudPlatform::kInCloud, "Stratoplay cloud", 0, FailureKind::kNone},
      {"not in cloud, CR LF", "{}\r\n", 0, CloudPlatform::kNotInCloud, "no cloud", 0, FailureKind::kNone},
      {"not in cloud, LF", "{}\n", 0, CloudPlatform::kNotInCloud, "no cloud", 0, FailureKind::kNone},
      {"no line end", "{}", 0, CloudPlatform::kFailed, "not a report line", 2},
      {"CR alone", "{}\r", 0, CloudPlatform::kFailed, "not a report line", 3},
      {"LF CR", "{}\n\r", 0, CloudPlatform::kFailed, "not a report line", 4},
      {"tab for LF", "{}\t", 0, CloudPlatform::kFailed, "not a report line", 3},
      {"CR tab", "{}\r\t", 0, CloudPlatform::kFailed, "not a report line", 4},
      // Any byte but CR before the LF is no line end.
      {"space LF", "{} \n", 0, CloudPlatform::kFailed, "not a report line", 4},
      {"NUL LF", std::string("{}\0\n", 4), 0, CloudPlatform::kFailed, "not a report line", 4},
      {"in cloud, x LF", stp + "x\n", 0, CloudPlatform::kFailed, "not a report line", 26},
      {"in cloud, CR CR", stp + "\r\r", 0, CloudPlatform::kFailed, "not a report line", 26},
      {"a byte after CR LF", "{}\r\nx", 0, CloudPlatform::kFailed, "not a report line", 5},
      {"two lines", "{}\r\n{}\r\n", 0, CloudPlatform::kFailed, "not a report line", 8},
      {"trailing space", "{} \r\n", 0, CloudPlatform::kFailed, "not a report line", 5},
      {"leading BOM", "\xef\xbb\xbf{}\r\n", 0, CloudPlatform::kFailed, "not a report line", 7},
      {"NUL inside", std::string("{}\0\r\n", 5), 0, CloudPlatform::kFailed, "not a report line", 5},
      {"spaced JSON", "{\"cloud_platform\": \"STP\"}\r\n", 0, CloudPlatform::kFailed,
       "not a report line", 27},
      {"other platform", "{\"cloud_platform\":\"stp\"}\r\n", 0, CloudPlatform::kFailed,
       "not a report line", 26},
      {"the last byte differs", "{\"cloud_platform\":\"STP\"]\r\n", 0, CloudPlatform::kFailed,
       "not a report line", 26},
      {"the report cut short", "{\"cloud_platform\":\"STP\r\n", 0, CloudPlatform::kFailed,
       "not a report line", 24},
      {"LF alone", "\n", 0, CloudPlatform::kFailed, "not a report line", 1},
      {"garbage", "garbage\r\n", 0, CloudPlatform::kFailed, "not a report line", 9},
      {"nothing", "", 0, CloudPlatform::kFailed, "wrote nothing", 0},
      {"exit code 1 after a report", "{}\r\n", 1, CloudPlatform::kFailed, "code other than 0", 1, FailureKind::kExitCode},
      // Exception statuses (error severity, system codes) are crashes; other
      // codes with high bits, -1 among them, are a program's own exit codes.
      {"a crash", "", 0xC0000005, CloudPlatform::kFailed, "crashed", 0xC0000005, FailureKind::kCrashed},
      {"a fast-fail", "{}\r\n", 0xC0000409, CloudPlatform::kFailed, "crashed", 0xC0000409, FailureKind::kCrashed},
      {"the last system status", "", 0xCFFFFFFF, CloudPlatform::kFailed, "crashed", 0xCFFFFFFF, FailureKind::kCrashed},
      {"below error severity", "", 0xBFFFFFFF, CloudPlatform::kFailed, "code other than 0", 0xBFFFFFFF, FailureKind::kExitCode},
      {"a breakpoint status", "", 0x80000003, CloudPlatform::kFailed, "code other than 0", 0x80000003, FailureKind::kExitCode},
      {"a customer status", "", 0xE0000001, CloudPlatform::kFailed, "code other than 0", 0xE0000001, FailureKind::kExitCode},
      {"exit code -1", "", 0xFFFFFFFF, CloudPlatform::kFailed, "code other than 0", 0xFFFFFFFF, FailureKind::kExitCode},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.label);
    // Exactly as many bytes as the probe wrote, so that the sanitizer build
    // sees a read past them.
    const std::vector<char> bytes(c.output.begin(), c.output.end());
    const auto answer =
        JudgeProbeOutput(bytes.data(), static_cast<unsigned long>(bytes.size()), c.exitCode);
    EXPECT_EQ(answer.platform, c.platform);
    ASSERT_NE(answer.reason, nullptr);
    EXPECT_NE(std::string(answer.reason).find(c.reason), std::string::npos) << answer.reason;
    EXPECT_EQ(answer.detail, c.detail);
    EXPECT_EQ(answer.kind, c.kind);
  }
  // The caller reads into a larger buffer: bytes past what the probe wrote
  // (here a line end left from before) are no part of its output.
  EXPECT_EQ(JudgeProbeOutput("{}\r\n", 2, 0).platform, CloudPlatform::kFailed);
}

// The C entry point's copy: the answer as its number, kind and detail as
// they are, the reason cut to the buffer and always terminated; nothing is
// written through a null pointer or past reasonSize.
TEST(CallerRulesTest, TheCEntryPointCopiesTheAnswer) {
  const platform_probe::CloudPlatformAnswer in{CloudPlatform::kInCloud, FailureKind::kNone, "in", 0};
  const platform_probe::CloudPlatformAnswer failed{CloudPlatform::kFailed, FailureKind::kCrashed, "crash", 0xC0000005};
  const struct {
    const platform_probe::CloudPlatformAnswer* answer;
    unsigned long size;  // of the reason buffer, which holds 8 bytes of 'x'
    int result;
    const char* reason;  // what the buffer holds afterwards
  } cases[] = {
      {&in, 8, PLATFORM_PROBE_IN_CLOUD, "in\0xxxxx"},
      {&failed, 8, PLATFORM_PROBE_FAILED, "crash\0xx"},
      {&failed, 6, PLATFORM_PROBE_FAILED, "crash\0xx"},
      {&failed, 5, PLATFORM_PROBE_FAILED, "cras\0xxx"},
      {&failed, 1, PLATFORM_PROBE_FAILED, "\0xxxxxxx"},
      {&failed, 0, PLATFORM_PROBE_FAILED, "xxxxxxxx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    char reason[8];
    std::memset(reason, 'x', sizeof(reason));
    int kind = -1;
    unsigned long detail = 1;
    EXPECT_EQ(platform_probe::CopyAnswerForC(*c.answer, &kind, &detail, reason, c.size), c.result);
    EXPECT_EQ(kind, static_cast<int>(c.answer->kind));
    EXPECT_EQ(detail, c.answer->detail);
    EXPECT_EQ(std::string(reason, sizeof(reason)), std::string(c.reason, sizeof(reason)));
  }
  const platform_probe::CloudPlatformAnswer notIn{CloudPlatform::kNotInCloud, FailureKind::kNone, "no", 0};
  EXPECT_EQ(platform_probe::CopyAnswerForC(notIn, nullptr, nullptr, nullptr, 8), PLATFORM_PROBE_NOT_IN_CLOUD);
}

struct PathCase {
  const char* label;
  std::wstring path;
  const char* refusal;  // a part of the reason; null when the path is started
  unsigned long error;
};

TEST(CallerRulesTest, OnlyAbsolutePathsToAnExeAreStarted) {
  // A command line holds 32767 characters with its terminator; the path goes
  // in quotes. Stated, so that moving the bound fails here.
  const size_t longest = 32767 - 3;
  const std::wstring padding = L"C:\\" + std::wstring(longest - 3 - 4, L'a');
  // A code unit with its top bit set is a character, whether wchar_t is signed or not.
  const std::wstring topBit(1, static_cast<wchar_t>(-1));
  const PathCase cases[] = {
      {"drive path", L"C:\\Games\\platform_probe.exe", nullptr, 0},
      {"lower-case drive, slashes", L"z:/games/platform_probe.exe", nullptr, 0},
      {"drive a", L"a:\\platform_probe.exe", nullptr, 0},
      {"drive A", L"A:\\platform_probe.exe", nullptr, 0},
      {"drive Z", L"Z:\\platform_probe.exe", nullptr, 0},
      {"share", L"\\\\server\\share\\platform_probe.exe", nullptr, 0},
      {"server name led by a top-bit code unit", L"\\\\" + topBit + L"\\share\\probe.exe", nullptr, 0},
      {"long-path prefix", L"\\\\?\\C:\\Games\\platform_probe.exe", nullptr, 0},
      {"upper-case extension", L"C:\\Games\\PLATFORM_PROBE.EXE", nullptr, 0},
      {"shortest name", L"C:\\a.exe", nullptr, 0},
      {"spaces and non-ASCII", L"C:\\Jeux vid\u00e9o\\\u30d7\u30ed\u30fc\u30d6.exe", nullptr, 0},
      {"the longest path", padding + L".exe", nullptr, 0},
      {"one character too long", padding + L"a.exe", "too long", 206},
      // Nothing past the limit is read: a quotation mark there goes unseen.
      {"too long, a quotation mark after", padding + L"a.exe\"", "too long", 206},
      {"empty", L"", "no probe path", 160},
      {"relative", L"platform_probe.exe", "not absolute", 160},
      {"a top-bit code unit first", topBit + L":\\platform_probe.exe", "not absolute", 160},
      {"folder C1", L"C1\\platform_probe.exe", "not absolute", 160},
      {"folder CD", L"CD\\platform_probe.exe", "not absolute", 160},
      {"dot relative", L".\\platform_probe.exe", "not absolute", 160},
      {"drive relative", L"C:platform_probe.exe", "not absolute", 160},
      {"rooted on the current drive", L"\\caller\\platform_probe.exe", "not absolute", 160},
      {"three separators", L"\\\\\\server\\platform_probe.exe", "not absolute", 160},
      {"two separators alone", L"\\\\", "not absolute", 160},
      {"digit for a drive", L"1:\\platform_probe.exe", "not absolute", 160},
      {"bracket for a drive", L"[:\\platform_probe.exe", "not absolute", 160},
      {"back quote for a drive", L"`:\\platform_probe.exe", "not absolute", 160},
      {"brace for a drive", L"{:\\platform_probe.exe", "not absolute", 160},
      {"at sign for a drive", L"@:\\platform_probe.exe", "not absolute", 160},
      {"a command file", L"C:\\caller\\probe.cmd", "does not name an .exe", 160},
      {"no dot", L"C:\\caller\\probexexe", "does not name an .exe", 160},
      {"a hyphen for the dot", L"C:\\caller\\probe-exe", "does not name an .exe", 160},
      // One letter before or past each of e, x, e.
      {".dxe", L"C:\\caller\\probe.dxe", "does not name an .exe", 160},
      {".FXE", L"C:\\caller\\probe.FXE", "does not name an .exe", 160},
      {".ewe", L"C:\\caller\\probe.ewe", "does not name an .exe", 160},
      {".EYE", L"C:\\caller\\probe.EYE", "does not name an .exe", 160},
      {".exd", L"C:\\caller\\probe.exd", "does not name an .exe", 160},
      {".EXF", L"C:\\caller\\probe.EXF", "does not name an .exe", 160},
      {"a drive root", L"C:\\", "does not name an .exe", 160},
      {"exe with a letter more", L"C:\\caller\\probe.exec", "does not name an .exe", 160},
      {"a folder named .exe", L"C:\\.exe", "does not name an .exe", 160},
      {"a quotation mark", L"C:\\caller\\\"probe.exe", "quotation mark", 160},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.label);
    // On the heap and exactly as long, so that the sanitizer build sees a read
    // before or past the path.
    const std::vector<wchar_t> chars(c.path.c_str(), c.path.c_str() + c.path.size() + 1);
    const auto check = CheckProbePath(chars.data());
    if (c.refusal == nullptr) {
      EXPECT_EQ(check.refusal, nullptr) << check.refusal;
      EXPECT_EQ(check.length, c.path.size());
    } else {
      ASSERT_NE(check.refusal, nullptr);
      EXPECT_NE(std::string(check.refusal).find(c.refusal), std::string::npos) << check.refusal;
      EXPECT_EQ(check.error, c.error);
    }
  }
  EXPECT_NE(CheckProbePath(nullptr).refusal, nullptr);
  // Too long is told without reading past the longest path's last character
  // and the one after it: the sanitizer build sees a read further on.
  const std::vector<wchar_t> unterminated(longest + 1, L'a');
  EXPECT_EQ(CheckProbePath(unterminated.data()).error, platform_probe::kErrorFileNameTooLong);
}

}  // namespace
