// The System32 loader: which file each OS branch maps, the version test made
// once, and the failures that must not fall back to the default search order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "secureload/system_library.h"
#include "tests/support/process_state.h"

namespace {

// The level as this process started, before any test reset it: what the
// first load of a real process finds.
const DWORD g_levelAtProcessStart = g_systemBuildLevel;

constexpr DWORD kNewBuild = 19045;
constexpr DWORD kOldBuild = 7601;
// A copy of crypt32 beside the executable, where the default search order
// would find it first.
const std::wstring kPlanted = L"C:\\Program Files\\Launcher\\crypt32.dll";

std::vector<std::string> LoadLines() {
  std::vector<std::string> lines;
  for (const std::string& line : sim::Trace()) {
    if (line.rfind("LoadLibraryExW", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// An older system whose loader lacks its update: kernel32 has no AddDllDirectory.
void OlderLoader(DWORD build = kOldBuild) {
  sim::SetSystemBuild(build);
  sim::HideSystemExport("kernel32.dll", "AddDllDirectory");
}

class SystemLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    sim::AddLibrary(kPlanted, {});
    // Every release overwrites the last error, so a reason that is not kept
    // across freeing the path buffer shows.
    sim::ClobberLastErrorOnRelease(0x5EED);
  }
};

struct BranchCase {
  const char* label;
  DWORD build;
  bool loaderUpdate;  // kernel32 exports AddDllDirectory
  const wchar_t* systemDirectory;
  DWORD expectedLevel;
  const char* expectedLoad;
  const wchar_t* expectedMapped;
};

TEST_F(SystemLibraryTest, EachBranchMapsOnlyTheSystemDirectoryCopy) {
  const BranchCase cases[] = {
      {"current system", kNewBuild, false, L"C:\\Windows\\system32", 9200,
       "LoadLibraryExW crypt32.dll 0x800", L"C:\\Windows\\system32\\crypt32.dll"},
      // The test is "build at least 9200", so the first Windows 8 build takes
      // the search flag and the one before it does not.
      {"build 9200", 9200, false, L"C:\\Windows\\system32", 9200,
       "LoadLibraryExW crypt32.dll 0x800", L"C:\\Windows\\system32\\crypt32.dll"},
      // Below it, the full path with the altered search order, so that the
      // library's dependencies come from its own directory, System32.
      {"build 9199", 9199, false, L"C:\\Windows\\system32", 7600,
       "LoadLibraryExW C:\\Windows\\system32\\crypt32.dll 0x8",
       L"C:\\Windows\\system32\\crypt32.dll"},
      // An older system with the loader update takes the flag as well.
      {"older build, loader updated", kOldBuild, true, L"C:\\Windows\\system32", 9200,
       "LoadLibraryExW crypt32.dll 0x800", L"C:\\Windows\\system32\\crypt32.dll"},
      // A directory that already ends in a backslash gets no second one.
      {"root as system dir", kOldBuild, false, L"C:\\", 7600,
       "LoadLibraryExW C:\\crypt32.dll 0x8", L"C:\\crypt32.dll"},
      {"trailing backslash", kOldBuild, false, L"D:\\Win\\System32\\", 7600,
       "LoadLibraryExW D:\\Win\\System32\\crypt32.dll 0x8", L"D:\\Win\\System32\\crypt32.dll"},
  };
  for (const BranchCase& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    sim::SetSystemBuild(c.build);
    if (!c.loaderUpdate) OlderLoader(c.build);
    sim::SetSystemDirectory(c.systemDirectory);

    HMODULE module = LoadSystemLibrary(L"crypt32.dll");

    EXPECT_NE(module, nullptr);
    EXPECT_EQ(g_systemBuildLevel, c.expectedLevel);
    EXPECT_EQ(LoadLines(), std::vector<std::string>{c.expectedLoad});
    EXPECT_EQ(sim::MappedPaths(), std::vector<std::wstring>{c.expectedMapped});
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(SystemLibraryTest, VersionTestAsksOnlyForBuildAtLeast9200) {
  OlderLoader();
  (void)LoadSystemLibrary(L"crypt32.dll");

  ASSERT_EQ(sim::VersionQueries().size(), 1u);
  const sim::VersionQuery& q = sim::VersionQueries()[0];
  EXPECT_EQ(q.infoSize, sizeof(OSVERSIONINFOEXW));
  EXPECT_EQ(q.buildNumber, 9200u);
  EXPECT_EQ(q.majorVersion, 0u);
  EXPECT_EQ(q.minorVersion, 0u);
  EXPECT_EQ(q.servicePackMajor, 0u);
  EXPECT_EQ(q.productType, 0u);
  EXPECT_EQ(q.typeMask, static_cast<DWORD>(VER_BUILDNUMBER));
  EXPECT_EQ(q.conditionMask, VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL));
}

TEST_F(SystemLibraryTest, VersionTestIsMadeOncePerProcess) {
  for (DWORD firstBuild : {kNewBuild, kOldBuild}) {
    SCOPED_TRACE(firstBuild);
    SetUp();
    g_systemBuildLevel = g_levelAtProcessStart;
    OlderLoader(firstBuild);
    (void)LoadSystemLibrary(L"crypt32.dll");
    EXPECT_EQ(sim::CountTrace("VerifyVersionInfoW"), 1u);  // the first load asks
    const DWORD level = g_systemBuildLevel;
    // Whatever the system says now, the first answer stands.
    sim::SetSystemBuild(firstBuild == kNewBuild ? kOldBuild : kNewBuild);
    sim::ClearTrace();

    (void)LoadSystemLibrary(L"wintrust.dll");
    (void)LoadSystemLibrary(L"cryptnet.dll");

    EXPECT_EQ(sim::CountTrace("VerSetConditionMask"), 0u);
    EXPECT_EQ(sim::CountTrace("VerifyVersionInfoW"), 0u);
    EXPECT_EQ(g_systemBuildLevel, level);
    const char* expected = level == 9200 ? "LoadLibraryExW wintrust.dll 0x800"
                                         : "LoadLibraryExW C:\\Windows\\system32\\wintrust.dll 0x8";
    EXPECT_EQ(LoadLines().at(0), expected);
  }
}

TEST_F(SystemLibraryTest, FailedLoadKeepsTheLoadersErrorAfterTheBufferIsReleased) {
  struct Case {
    const char* label;
    const wchar_t* name;
    DWORD error;  // how the system module fails to load; 0: it does not exist
    DWORD expectedError;
  };
  const Case cases[] = {
      {"missing library", L"missing.dll", 0, ERROR_MOD_NOT_FOUND},
      {"module refuses to load", L"cryptnet.dll", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    OlderLoader();
    if (c.error != 0) sim::FailSystemModule(sim::Narrow(c.name), c.error);

    HMODULE module = LoadSystemLibrary(c.name);

    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(GetLastError(), c.expectedError);
    EXPECT_EQ(sim::Live().localBlocks, 0);
  }
}

TEST_F(SystemLibraryTest, OlderSystemFailuresReturnNullAndNeverSearch) {
  struct Case {
    const char* label;
    void (*arrange)();
    DWORD expectedError;
  };
  const Case cases[] = {
      // Loading the bare name instead would search the executable's directory
      // first and map the planted copy.
      {"path buffer cannot be allocated", [] { sim::FailLocalAllocation(1); },
       ERROR_NOT_ENOUGH_MEMORY},
      {"size query fails", [] { sim::FailSystemDirectorySizeQuery(ERROR_ACCESS_DENIED); },
       ERROR_ACCESS_DENIED},
      {"fill query fails", [] { sim::FailSystemDirectoryFillQuery(ERROR_PATH_NOT_FOUND); },
       ERROR_PATH_NOT_FOUND},
      // The second query then reports a size larger than the buffer and writes
      // nothing: there is no last character to look at.
      {"directory grows between the queries", [] { sim::GrowSystemDirectoryBetweenQueries(5); },
       ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    OlderLoader();
    c.arrange();

    HMODULE module = LoadSystemLibrary(L"crypt32.dll");

    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(GetLastError(), c.expectedError);
    EXPECT_TRUE(LoadLines().empty());
    EXPECT_TRUE(sim::MappedPaths().empty());
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(SystemLibraryTest, OlderSystemOddNamesAreLeftToTheLoader) {
  OlderLoader();
  // An empty name yields the directory itself, which does not load.
  EXPECT_EQ(LoadSystemLibrary(L""), nullptr);
  // A null name is handed on as it is and refused.
  EXPECT_EQ(LoadSystemLibrary(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LoadLines(), (std::vector<std::string>{"LoadLibraryExW C:\\Windows\\system32\\ 0x8",
                                                   "LoadLibraryExW (null) 0x0"}));
  EXPECT_TRUE(sim::MappedPaths().empty());
  EXPECT_TRUE(sim::AllReleased());
}

}  // namespace
