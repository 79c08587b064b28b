// The runtime wrapper and the probe run against a simulated machine: where the
// client library is looked for, how the cloud and client results combine,
// which runtime calls are made in which order, and that everything taken is
// given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "probe/probe.h"
#include "runtime/runtime.h"
#include "tests/support/process_state.h"
#include "tests/unit/runtime_doubles.h"

namespace {

const std::wstring kExe = L"C:\\Program Files\\Launcher\\platform_probe.exe";
const std::wstring kClient = L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll";
const std::wstring kCloud = L"C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\STP32.dll";

// What the fake runtime libraries answer, and the calls they received.
struct FakeRuntime {
  RuntimeResult init2 = 0;
  int isRunning = 1;
  RuntimeResult clientInit = 0;
  float init2Argument = 0;
  int32_t clientArgument = -1;
  int modulesAtCloudShutdown = -1;
  std::vector<std::string> calls;
} g_fake;

RuntimeResult CloudInit2(float version) {
  g_fake.init2Argument = version;
  g_fake.calls.push_back("cloud:init2");
  return g_fake.init2;
}
int CloudIsRunning() {
  g_fake.calls.push_back("cloud:isRunning");
  return g_fake.isRunning;
}
int CloudShutdown() {
  g_fake.modulesAtCloudShutdown = sim::Live().moduleRefs;
  g_fake.calls.push_back("cloud:shutdown");
  return 0;
}
RuntimeResult ClientInit(int32_t flags) {
  g_fake.clientArgument = flags;
  g_fake.calls.push_back("client:init");
  return g_fake.clientInit;
}
int ClientShutdown() {
  // The cloud library must already be unloaded when the client shuts down.
  g_fake.calls.push_back(sim::Live().moduleRefs == 1 ? "client:shutdown" : "client:shutdown(cloud still mapped)");
  return 0;
}

enum class Cloud { kAbsent, kRefused, kNoInit2, kBound };
enum class Client { kNotLoaded, kNoInit, kLoaded };

void InstallCloud(Cloud cloud) {
  if (cloud == Cloud::kAbsent) return;
  if (cloud == Cloud::kNoInit2) {
    sim::AddLibrary(kCloud, {sim::MakeExport("stpIsRunningInCloud", &CloudIsRunning)});
  } else {
    sim::AddLibrary(kCloud, {sim::MakeExport("stpInitializeRuntimeSdk2", &CloudInit2),
                             sim::MakeExport("stpIsRunningInCloud", &CloudIsRunning),
                             sim::MakeExport("stpShutdownRuntimeSdk", &CloudShutdown)});
  }
  if (cloud != Cloud::kRefused) g_acceptedLibraries.insert(kCloud);
}

void InstallClient(Client client) {
  if (client == Client::kNoInit) {
    sim::AddLibrary(kClient, {sim::MakeExport("stpShutdownRuntimeSdk", &ClientShutdown)});
  } else {
    sim::AddLibrary(kClient, {sim::MakeExport("stpInitializeRuntimeSdk", &ClientInit),
                              sim::MakeExport("stpShutdownRuntimeSdk", &ClientShutdown)});
  }
  if (client != Client::kNotLoaded) g_acceptedLibraries.insert(kClient);
}

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    g_fake = FakeRuntime{};
    g_loaderCalls.clear();
    g_acceptedLibraries.clear();
  }
};

// ------------------------------------------------------------------ combining

struct CombinationCase {
  const char* name;
  Cloud cloud;
  RuntimeResult init2;
  Client client;
  RuntimeResult clientInit;
  RuntimeResult expected;
  bool questionAsked;
};

// What the runtime tells an observer, a line an event: the step, its verdict,
// and the path of a library looked for or the reason a load was refused (a
// success's last error means nothing).
std::vector<std::string> g_heard;
void Hear(void*, const ObservedEvent& e) {
  std::string line = std::to_string(e.step) + " " + std::to_string(static_cast<int>(e.verdict));
  if (e.step == kObservedLibrary) line += " " + (e.path ? sim::Narrow(e.path) : "(none)");
  if (e.step == kObservedLoad && e.verdict == 0) line += " " + std::to_string(e.error);
  g_heard.push_back(line);
}

class CombinationTest : public RuntimeTest, public ::testing::WithParamInterface<CombinationCase> {};

TEST_P(CombinationTest, OverallResultAndQuestion) {
  const CombinationCase& c = GetParam();
  auto arrange = [&] {
    ResetProcessState();
    g_fake = FakeRuntime{};
    g_acceptedLibraries.clear();
    InstallCloud(c.cloud);
    InstallClient(c.client);
    g_fake.init2 = c.init2;
    g_fake.clientInit = c.clientInit;
    g_fake.isRunning = 1;
  };

  arrange();
  EXPECT_EQ(InitializeRuntime(), c.expected);
  // The cache holds the binding's result, not what the library's init said.
  if (c.cloud == Cloud::kBound) {
    EXPECT_EQ(g_cloudInitResult, kRuntimeOk);
  }
  // The client library is initialised whenever it is loaded and offers its
  // entry point, whatever the cloud half said.
  bool clientInitExpected = c.client == Client::kLoaded;
  EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), "client:init"), clientInitExpected ? 1 : 0);
  ShutdownRuntime();

  arrange();
  g_heard.clear();
  const VerifyObserver observer{&Hear, nullptr};
  std::string report = RunProbe(&observer);
  bool asked = std::count(g_fake.calls.begin(), g_fake.calls.end(), "cloud:isRunning") == 1;
  EXPECT_EQ(asked, c.questionAsked);
  // The companion hears that the question was asked exactly when it was.
  const std::string answer = std::to_string(kObservedAnswer) + (asked ? " 1" : " 0");
  EXPECT_EQ(std::count(g_heard.begin(), g_heard.end(), answer), 1);
  EXPECT_EQ(report, c.questionAsked ? kReportInCloud : kReportNotInCloud);
  EXPECT_TRUE(sim::AllReleased(c.client == Client::kNotLoaded ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, CombinationTest,
    ::testing::Values(
        // No cloud library: the client decides, and nothing can be asked.
        CombinationCase{"AbsentClientMissing", Cloud::kAbsent, 0, Client::kNotLoaded, 0, -2, false},
        CombinationCase{"AbsentClientNoInit", Cloud::kAbsent, 0, Client::kNoInit, 0, -17, false},
        CombinationCase{"AbsentClientOk", Cloud::kAbsent, 0, Client::kLoaded, 0, 0, false},
        CombinationCase{"AbsentClientValue", Cloud::kAbsent, 0, Client::kLoaded, 42, 42, false},
        // A present but refused cloud library decides, whatever the client does.
        CombinationCase{"RefusedClientOk", Cloud::kRefused, 0, Client::kLoaded, 0, -14, false},
        CombinationCase{"RefusedClientMissing", Cloud::kRefused, 0, Client::kNotLoaded, 0, -14, false},
        CombinationCase{"NoInit2ClientOk", Cloud::kNoInit2, 0, Client::kLoaded, 0, -17, false},
        // Bound cloud library, initialised: the answer comes from it.
        CombinationCase{"BoundOkClientOk", Cloud::kBound, 0, Client::kLoaded, 5, 0, true},
        CombinationCase{"BoundOkClientMissing", Cloud::kBound, 0, Client::kNotLoaded, 0, 0, true},
        // init2 returned 1: the client's result counts.
        CombinationCase{"BoundOneClientOk", Cloud::kBound, 1, Client::kLoaded, 0, 0, true},
        CombinationCase{"BoundOneClientValue", Cloud::kBound, 1, Client::kLoaded, 9, 9, false},
        CombinationCase{"BoundOneClientMissing", Cloud::kBound, 1, Client::kNotLoaded, 0, -2, false},
        CombinationCase{"BoundOneClientNoInit", Cloud::kBound, 1, Client::kNoInit, 0, -17, false},
        // Any other init2 value is the result.
        CombinationCase{"BoundSevenClientOk", Cloud::kBound, 7, Client::kLoaded, 0, 7, false},
        CombinationCase{"BoundNegativeClientOk", Cloud::kBound, -3, Client::kLoaded, 0, -3, false}),
    [](const ::testing::TestParamInfo<CombinationCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ call order

TEST_F(RuntimeTest, RuntimeCallsFollowTheLibraryContract) {
  InstallCloud(Cloud::kBound);
  InstallClient(Client::kLoaded);
  g_fake.isRunning = 1;
  // What the probe hands down to put its fault guard back.
  SetAfterRuntimeLibraryCall([] { g_fake.calls.push_back("guard"); });

  EXPECT_STREQ(RunProbe(), kReportInCloud);
  // The guard goes back after each load, call and unload.
  EXPECT_EQ(g_fake.calls,
            (std::vector<std::string>{"guard", "cloud:init2", "guard", "guard", "client:init", "guard",
                                      "cloud:isRunning", "guard", "cloud:shutdown", "guard", "guard",
                                      "client:shutdown", "guard"}));
  // The cloud library shuts down while both libraries are still mapped.
  EXPECT_EQ(g_fake.modulesAtCloudShutdown, 2);
  EXPECT_FLOAT_EQ(g_fake.init2Argument, 1.6f);
  EXPECT_EQ(g_fake.clientArgument, 0);
  // The cloud library is verified under the pinned chain, the client library
  // under the named chains, in that order.
  ASSERT_EQ(g_loaderCalls.size(), 2u);
  EXPECT_EQ(g_loaderCalls[0].path, kCloud);
  EXPECT_EQ(g_loaderCalls[0].policy, kPolicyPinnedChain);
  EXPECT_EQ(g_loaderCalls[1].path, kClient);
  EXPECT_EQ(g_loaderCalls[1].policy, kPolicyNamedChains);
  // The client library stays mapped until the process ends.
  EXPECT_TRUE(sim::AllReleased(1));
  EXPECT_EQ(g_cloudRuntime, nullptr);
  EXPECT_EQ(g_cloudInitResult, kRuntimeNotInitialized);
}

TEST_F(RuntimeTest, OnlyTheLowByteOfTheAnswerCounts) {
  struct Case {
    int answer;
    const char* report;
  } cases[] = {
      {1, kReportInCloud},
      {0x101, kReportInCloud},
      {0x100, kReportNotInCloud},  // higher bits set, low byte 0
      {static_cast<int>(0xFFFFFF00u), kReportNotInCloud},
      {0, kReportNotInCloud},
      {0x80, kReportInCloud},
  };
  for (const Case& c : cases) {
    SetUp();
    InstallCloud(Cloud::kBound);
    InstallClient(Client::kLoaded);
    g_fake.isRunning = c.answer;
    EXPECT_STREQ(RunProbe(), c.report) << "answer " << c.answer;
  }
}

TEST_F(RuntimeTest, BoundLibraryWithoutTheQuestionAnswersNo) {
  sim::AddLibrary(kCloud, {sim::MakeExport("stpInitializeRuntimeSdk2", &CloudInit2)});
  g_acceptedLibraries.insert(kCloud);
  InstallClient(Client::kLoaded);
  EXPECT_STREQ(RunProbe(), kReportNotInCloud);
  EXPECT_TRUE(sim::AllReleased(1));
}

// ------------------------------------------------------------------ the client path

struct PathCase {
  const char* name;
  std::wstring exe;
  RuntimeResult expected;  // with a loadable client library at the derived path
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

// An executable path of exactly `length` characters in directory C:\<long>\.
std::wstring ExeOfLength(size_t length, wchar_t c = L'd',
                         const std::wstring& tail = L"\\platform_probe.exe") {
  return L"C:\\" + Repeat(c, length - 3 - tail.size()) + tail;
}

class PathTest : public RuntimeTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathTest, ClientLibraryIsLookedForBesideTheExecutable) {
  const PathCase& c = GetParam();
  sim::SetExecutablePath(c.exe);
  std::wstring directory = c.exe.substr(0, c.exe.rfind(L'\\') + 1);
  std::wstring client = directory + L"StpRuntimeSdk.dll";
  sim::AddLibrary(client, {sim::MakeExport("stpInitializeRuntimeSdk", &ClientInit)});
  g_acceptedLibraries.insert(client);
  g_fake.clientInit = 0;

  EXPECT_EQ(InitializeRuntime(), c.expected);
  EXPECT_EQ(sim::CountTrace("GetModuleFileNameW 260"), 1u);  // the classic limit comes first
  if (c.expected == kRuntimeOk) {
    ASSERT_EQ(g_loaderCalls.size(), 1u);
    EXPECT_EQ(g_loaderCalls[0].path, client);
  } else {
    // Nothing is looked for: neither library, nor the cloud folder.
    EXPECT_TRUE(g_loaderCalls.empty());
    EXPECT_EQ(sim::CountTrace("PathFileExistsW"), 0u);
  }
  ShutdownRuntime();
  EXPECT_TRUE(sim::AllReleased(c.expected == kRuntimeOk ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, PathTest,
    ::testing::Values(
        PathCase{"Ordinary", L"C:\\Program Files\\Launcher\\platform_probe.exe", 0},
        PathCase{"Length259", ExeOfLength(259), 0},
        // Cut by the first fetch; the retry with room for 261 gets it whole.
        PathCase{"Length260", ExeOfLength(260), 0},
        PathCase{"Length261", ExeOfLength(261), 0},
        PathCase{"Length1000", ExeOfLength(1000), 0},
        PathCase{"Length32767", ExeOfLength(32767), 0},
        // Longer than any path the platform allows: no complete path, no load.
        PathCase{"Length32768", ExeOfLength(32768), -8},
        // Three UTF-8 bytes a character, and a short executable name: the
        // client path beside it is 98,307 bytes.
        PathCase{"CjkLength32767", ExeOfLength(32767, L'\u8d77', L"\\a"), 0},
        PathCase{"AccentedDirectory", L"C:\\Users\\Jos\u00e9\\Spiele\\Caf\u00e9\\platform_probe.exe", 0},
        PathCase{"CjkDirectory", L"D:\\\u30b2\u30fc\u30e0\\\u8d77\u52d5\\platform_probe.exe", 0},
        PathCase{"AstralDirectory", L"C:\\\U0001F3AE\\platform_probe.exe", 0},
        PathCase{"UncDirectory", L"\\\\server\\share\\games\\platform_probe.exe", 0},
        // No backslash: no directory to look in.
        PathCase{"NoBackslash", L"platform_probe.exe", -8}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST_F(RuntimeTest, FailedPathFetchOrConversionEndsSetup) {
  struct Case {
    const char* label;
    void (*arrange)();
  };
  const Case cases[] = {
      {"path fetch", [] { sim::FailModuleFileName(ERROR_ACCESS_DENIED); }},
      {"sizing the UTF-8 path", [] { sim::FailWideToUtf8(ERROR_NO_UNICODE_TRANSLATION); }},
      {"converting to UTF-8", [] { sim::FailWideToUtf8(ERROR_NO_UNICODE_TRANSLATION, 2); }},
      {"converting back", [] { sim::FailUtf8ToWide(ERROR_NO_UNICODE_TRANSLATION); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    InstallClient(Client::kLoaded);
    c.arrange();
    EXPECT_EQ(InitializeRuntime(), kRuntimeSetupFailed);
    // A failure is not retried, and what a failed call left is not used.
    EXPECT_EQ(sim::CountTrace("GetModuleFileNameW"), 1u);
    EXPECT_TRUE(g_loaderCalls.empty());
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(RuntimeTest, EveryAllocationFailureEndsSetupWithNothingHeld) {
  // InitializeRuntime takes the path buffer, the client path and its UTF-8 form,
  // then the wide copy inside InitializeRuntimeFromPath.
  for (unsigned nth = 1; nth <= 4; ++nth) {
    SetUp();
    InstallClient(Client::kLoaded);
    sim::FailCrtAllocation(nth);
    EXPECT_EQ(InitializeRuntime(), kRuntimeSetupFailed) << "allocation " << nth;
    EXPECT_TRUE(g_loaderCalls.empty()) << "allocation " << nth;
    EXPECT_TRUE(sim::AllReleased()) << "allocation " << nth;
  }
}

struct NameCase {
  const char* name;
  const char* path;
  RuntimeResult expected;  // kRuntimeOk when the path is handed to the loader
};

class FileNameTest : public RuntimeTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(FileNameTest, OnlyTheClientLibraryNameIsOpened) {
  const NameCase& c = GetParam();
  std::wstring wide;
  for (const char* p = c.path; *p; ++p) wide.push_back(static_cast<wchar_t>(*p));
  sim::AddLibrary(wide, {sim::MakeExport("stpInitializeRuntimeSdk", &ClientInit)});
  g_acceptedLibraries.insert(wide);

  EXPECT_EQ(InitializeRuntimeFromPath(c.path), c.expected);
  if (c.expected == kRuntimeOk) {
    ASSERT_EQ(g_loaderCalls.size(), 1u);
    EXPECT_EQ(g_loaderCalls[0].path, wide);
  } else {
    EXPECT_TRUE(g_loaderCalls.empty());
    EXPECT_EQ(sim::CountTrace("SHGetSpecialFolderPathW"), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, FileNameTest,
    ::testing::Values(NameCase{"Backslashes", "C:\\Games\\StpRuntimeSdk.dll", 0},
                      NameCase{"ForwardSlashes", "C:/Games/Launcher/StpRuntimeSdk.dll", 0},
                      NameCase{"LetterCase", "C:\\Games\\STPRUNTIMESDK.DLL", 0},
                      // The later separator wins, whichever kind it is.
                      NameCase{"MixedSlashLast", "C:\\Games/StpRuntimeSdk.dll", 0},
                      NameCase{"MixedBackslashLast", "C:/Games\\StpRuntimeSdk.dll", 0},
                      NameCase{"FurtherExtension", "C:\\Games\\StpRuntimeSdk.dll.bak", -8},
                      NameCase{"OtherName", "C:\\Games\\StpRuntimeSdk2.dll", -8},
                      NameCase{"NameSortingBefore", "C:\\Games\\StpRuntime.dll", -8},
                      NameCase{"NameIsADirectoryPart", "C:\\StpRuntimeSdk.dll\\x.dll", -8},
                      NameCase{"NoSeparator", "StpRuntimeSdk.dll", -8},
                      NameCase{"Empty", "", -8},
                      NameCase{"InvalidUtf8", "C:\\G\xff\\StpRuntimeSdk.dll", -8}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

TEST_F(RuntimeTest, NullPathIsRefused) {
  EXPECT_EQ(InitializeRuntimeFromPath(nullptr), kRuntimeSetupFailed);
  // A path the conversion cannot count in int, where memory can hold one.
  if (sizeof(size_t) > 4) {
    std::string uncountable(static_cast<size_t>(INT_MAX), 'a');
    EXPECT_EQ(InitializeRuntimeFromPath(uncountable.c_str()), kRuntimeSetupFailed);
  }
  EXPECT_TRUE(g_loaderCalls.empty());
}

TEST_F(RuntimeTest, SecondInitialisationReusesTheLoadedClient) {
  InstallClient(Client::kLoaded);
  EXPECT_EQ(InitializeRuntime(), kRuntimeOk);
  g_fake.calls.clear();
  EXPECT_EQ(InitializeRuntime(), kRuntimeOk);
  EXPECT_EQ(g_loaderCalls.size(), 1u);
  EXPECT_TRUE(g_fake.calls.empty());
}

// ------------------------------------------------------------------ binding

TEST_F(RuntimeTest, AbsentCloudLibraryIsClientOnly) {
  EXPECT_EQ(BindCloudRuntime(), kRuntimeClientOnly);
  EXPECT_EQ(sim::CountTrace("SHGetSpecialFolderPathW 35 0"), 1u);  // asked, never created
  EXPECT_TRUE(g_loaderCalls.empty());
  EXPECT_EQ(g_cloudRuntime, nullptr);
}

TEST_F(RuntimeTest, FailedFolderQueryIsClientOnlyAndNothingIsLoaded) {
  struct Case {
    const char* label;
    void (*arrange)();
  };
  const Case cases[] = {
      {"folder query fails", [] { sim::FailCommonAppDataFolder(); }},
      // Only exactly 1 is the query's success.
      {"folder query answers 2", [] { sim::AnswerCommonAppDataFolder(2); }},
      // The shell is bound from System32 only; without it there is no folder.
      {"shell32 missing", [] { sim::FailSystemModule("shell32.dll", ERROR_MOD_NOT_FOUND); }},
      {"shlwapi missing", [] { sim::FailSystemModule("shlwapi.dll", ERROR_MOD_NOT_FOUND); }},
      {"no SHGetSpecialFolderPathW", [] { sim::HideSystemExport("shell32.dll", "SHGetSpecialFolderPathW"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    InstallCloud(Cloud::kBound);
    c.arrange();
    EXPECT_EQ(BindCloudRuntime(), kRuntimeClientOnly);
    EXPECT_TRUE(g_loaderCalls.empty());
  }
  // Bound from the system directory, never by the default search order.
  SetUp();
  EXPECT_EQ(BindCloudRuntime(), kRuntimeClientOnly);
  EXPECT_EQ(sim::CountTrace("LoadLibraryExW shell32.dll 0x800"), 1u);
  EXPECT_EQ(sim::CountTrace("LoadLibraryExW shlwapi.dll 0x800"), 1u);
}

TEST_F(RuntimeTest, FolderTooLongForTheSuffixIsClientOnly) {
  // 225 + 40 characters do not fit in 260 with a terminator, nor do exactly
  // 220 + 40; a cut path must not be probed, let alone loaded.
  std::wstring folder;
  for (size_t length : {225u, 220u}) {
    SetUp();
    folder = L"C:\\" + Repeat(L'p', length - 3);
    sim::SetCommonAppDataFolder(folder);
    sim::AddFile(folder + L"\\KORVEX Corporation\\Stratoplay\\STP32.dll");
    EXPECT_EQ(BindCloudRuntime(), kRuntimeClientOnly) << length;
    EXPECT_EQ(sim::CountTrace("PathFileExistsW"), 0u) << length;
    EXPECT_TRUE(g_loaderCalls.empty()) << length;
  }

  // 219 fits exactly and is looked for.
  SetUp();
  folder = L"C:\\" + Repeat(L'p', 216);
  sim::SetCommonAppDataFolder(folder);
  std::wstring cloud = folder + L"\\KORVEX Corporation\\Stratoplay\\STP32.dll";
  ASSERT_EQ(cloud.size(), 259u);
  sim::AddLibrary(cloud, {sim::MakeExport("stpInitializeRuntimeSdk2", &CloudInit2)});
  g_acceptedLibraries.insert(cloud);
  EXPECT_EQ(BindCloudRuntime(), kRuntimeOk);
  ShutdownRuntime();
}

TEST_F(RuntimeTest, LibraryWithOnlyInit2IsBoundWithEveryOtherFieldEmpty) {
  sim::AddLibrary(kCloud, {sim::MakeExport("stpInitializeRuntimeSdk2", &CloudInit2)});
  g_acceptedLibraries.insert(kCloud);
  ASSERT_EQ(BindCloudRuntime(), kRuntimeOk);
  ASSERT_NE(g_cloudRuntime, nullptr);
  EXPECT_NE(g_cloudRuntime->module, nullptr);
  EXPECT_NE(g_cloudRuntime->initializeRuntimeSdk2, nullptr);
  FARPROC* fields = &g_cloudRuntime->shutdownRuntimeSdk;
  for (int i = 0; i < 21; ++i) EXPECT_EQ(fields[i], nullptr) << "field " << i + 3;
  // All 22 names were asked for.
  EXPECT_EQ(sim::CountTrace("GetProcAddress stp32.dll stp"), 22u);
  ShutdownRuntime();
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(RuntimeTest, EachExportIsBoundByItsOwnNameToItsOwnField) {
  // Field by field, spelled out apart from the binding table. Each export's
  // "function" is its own name, so a field shows which name it was bound to.
  const char* const names[] = {
      "stpInitializeRuntimeSdk2",  "stpShutdownRuntimeSdk",       "stpIsInitialized",
      "stpIsRunningInCloud",       "stpIsRunningInCloudSecure",   "stpRegisterExitCallback",
      "stpRegisterSaveCallback",   "stpRegisterSessionInitCallback", "stpRegisterPauseCallback",
      "stpRegisterInstallCallback", "stpIsTitleAvailable",        "stpGetTitlesAvailable",
      "stpSetupTitle",             "stpTitleExited",              "stpGetClientIp",
      "stpGetClientLanguageCode",  "stpGetClientCountryCode",     "stpGetCustomData",
      "stpGetAuthData",            "stpFree",                     "stpAppReady",
      "stpSetActionZone"};
  std::vector<sim::Export> exports;
  for (const char* name : names) exports.push_back({name, const_cast<char*>(name)});
  sim::AddLibrary(kCloud, exports);
  g_acceptedLibraries.insert(kCloud);
  ASSERT_EQ(BindCloudRuntime(), kRuntimeOk);
  FARPROC* fields = &g_cloudRuntime->initializeRuntimeSdk2;
  for (size_t i = 0; i < 22; ++i) {
    EXPECT_EQ(reinterpret_cast<const char*>(fields[i]), names[i]) << "field " << i + 2;
  }
  g_cloudRuntime->shutdownRuntimeSdk = nullptr;  // a name, not a function to call
  ShutdownRuntime();
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(RuntimeTest, MissingInit2ReleasesModuleAndTable) {
  InstallCloud(Cloud::kNoInit2);
  EXPECT_EQ(BindCloudRuntime(), kRuntimeEntryPointMissing);
  EXPECT_EQ(g_cloudRuntime, nullptr);
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(RuntimeTest, TableAllocationFailureReleasesModule) {
  InstallCloud(Cloud::kBound);
  sim::FailCrtAllocation(1);
  EXPECT_EQ(BindCloudRuntime(), kRuntimeOutOfMemory);
  EXPECT_EQ(g_cloudRuntime, nullptr);
  EXPECT_TRUE(sim::AllReleased());
}

TEST_F(RuntimeTest, RefusedCloudLibraryIsCloudLoadFailure) {
  InstallCloud(Cloud::kRefused);
  EXPECT_EQ(BindCloudRuntime(), kRuntimeCloudLoadFailed);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_MATCH));
  // Only the shell's system libraries were mapped, never the refused library.
  for (const std::wstring& path : sim::MappedPaths()) {
    EXPECT_EQ(path.rfind(L"C:\\Windows\\system32\\", 0), 0u) << sim::Narrow(path);
  }
}

TEST_F(RuntimeTest, BindingIsCachedUntilShutdown) {
  InstallCloud(Cloud::kBound);
  ASSERT_EQ(BindCloudRuntime(), kRuntimeOk);
  g_cloudInitResult = kRuntimeOk;
  CloudRuntimeTable* first = g_cloudRuntime;
  size_t loads = sim::CountTrace("LoadLibraryExW");
  EXPECT_EQ(BindCloudRuntime(), kRuntimeOk);
  EXPECT_EQ(g_cloudRuntime, first);
  EXPECT_EQ(sim::CountTrace("LoadLibraryExW"), loads);
  EXPECT_EQ(g_loaderCalls.size(), 1u);

  // A cached failure is returned as it is, with nothing bound.
  SetUp();
  g_cloudInitResult = kRuntimeCloudLoadFailed;
  InstallCloud(Cloud::kBound);
  EXPECT_EQ(BindCloudRuntime(), kRuntimeCloudLoadFailed);
  EXPECT_TRUE(g_loaderCalls.empty());
}

TEST_F(RuntimeTest, TheObserverHearsWhereEachLibraryWasLookedForAndHowItsLoadEnded) {
  const VerifyObserver observer{&Hear, nullptr};
  auto lookedFor = [](DWORD which, const std::wstring& path) {
    return std::to_string(kObservedLibrary) + " " + std::to_string(which) + " " +
           (path.empty() ? "(none)" : sim::Narrow(path));
  };
  const std::string cloudAt = lookedFor(kObservedCloudLibrary, kCloud);
  const std::string noCloudPath = lookedFor(kObservedCloudLibrary, L"");
  const std::string clientAt = lookedFor(kObservedClientLibrary, kClient);
  const std::string absent = std::to_string(kObservedAbsent) + " 0";
  const std::string loaded = std::to_string(kObservedLoad) + " 1";
  const std::string refused =
      std::to_string(kObservedLoad) + " 0 " + std::to_string(static_cast<DWORD>(CRYPT_E_NO_MATCH));
  auto binding = [](RuntimeResult r) {
    return std::to_string(kObservedCloudBinding) + " " + std::to_string(r);
  };
  struct Case {
    const char* label;
    Cloud cloud;
    Client client;
    void (*arrange)();
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"bound", Cloud::kBound, Client::kLoaded, [] {},
       {cloudAt, loaded, binding(kRuntimeOk), clientAt, loaded}},
      {"refused", Cloud::kRefused, Client::kNotLoaded, [] {},
       {cloudAt, refused, binding(kRuntimeCloudLoadFailed), clientAt, refused}},
      {"absent", Cloud::kAbsent, Client::kLoaded, [] {},
       {cloudAt, absent, binding(kRuntimeClientOnly), clientAt, loaded}},
      // No folder, or one too long for the library's path: no path to tell.
      {"folder query fails", Cloud::kBound, Client::kLoaded, [] { sim::FailCommonAppDataFolder(); },
       {noCloudPath, absent, binding(kRuntimeClientOnly), clientAt, loaded}},
      {"folder too long", Cloud::kBound, Client::kLoaded,
       [] { sim::SetCommonAppDataFolder(L"C:\\" + std::wstring(217, L'p')); },
       {noCloudPath, absent, binding(kRuntimeClientOnly), clientAt, loaded}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    InstallCloud(c.cloud);
    InstallClient(c.client);
    c.arrange();
    g_heard.clear();
    static_cast<void>(InitializeRuntime(&observer));
    EXPECT_EQ(g_heard, c.expected);
    ShutdownRuntime();
  }
}

// ------------------------------------------------------------------ shutdown

TEST_F(RuntimeTest, ShutdownFromEveryState) {
  // Never initialised: nothing is touched, nothing looked up, and the
  // question answers no.
  ShutdownRuntime();
  EXPECT_EQ(g_cloudInitResult, kRuntimeNotInitialized);
  EXPECT_TRUE(g_fake.calls.empty());
  EXPECT_EQ(sim::CountTrace("GetProcAddress"), 0u);
  EXPECT_FALSE(IsRunningInCloud());

  // A failed binding keeps its cached result across shutdown.
  SetUp();
  InstallCloud(Cloud::kRefused);
  InstallClient(Client::kLoaded);
  EXPECT_EQ(InitializeRuntime(), kRuntimeCloudLoadFailed);
  ShutdownRuntime();
  EXPECT_EQ(g_cloudInitResult, kRuntimeCloudLoadFailed);
  EXPECT_EQ(g_fake.calls, (std::vector<std::string>{"client:init", "client:shutdown"}));

  // Bound: unloaded and back to "not initialised"; a second shutdown only
  // reaches the client again.
  SetUp();
  InstallCloud(Cloud::kBound);
  InstallClient(Client::kLoaded);
  EXPECT_EQ(InitializeRuntime(), kRuntimeOk);
  ShutdownRuntime();
  EXPECT_EQ(g_cloudRuntime, nullptr);
  EXPECT_EQ(g_cloudInitResult, kRuntimeNotInitialized);
  EXPECT_NE(g_clientRuntimeModule, nullptr);
  EXPECT_TRUE(sim::AllReleased(1));
  ShutdownRuntime();
  EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), "cloud:shutdown"), 1);
  EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), "client:shutdown"), 2);
  EXPECT_TRUE(sim::AllReleased(1));
}

}  // namespace
