// What main sets up before any library is loaded: no error boxes, the {}
// report on a fault (once), and a DLL search without the working directory.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_control.h"
#include "probe/probe.h"
#include "probe/process_guard.h"
#include "tests/support/process_state.h"

namespace {

class ProcessGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }
};

TEST_F(ProcessGuardTest, AFaultEndsTheProcessWithTheEmptyReportOnce) {
  struct Case {
    const char* label;
    const char* reportBefore;  // written by main before the fault; null: none yet
    int faults;
    const char* output;  // standard output written through the plain file API
  };
  const Case cases[] = {
      {"fault in a runtime library before the report", nullptr, 1, "{}\r\n"},
      {"a second fault adds nothing", nullptr, 2, "{}\r\n"},
      // A library's DllMain at exit, after the report went out: no second line.
      {"fault after the in-cloud report", kReportInCloud, 1, ""},
      {"fault after the empty report", kReportNotInCloud, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    GuardProcess();
    EXPECT_EQ(sim::ErrorMode(),
              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX));
    LPTOP_LEVEL_EXCEPTION_FILTER filter = sim::ExceptionFilter();
    ASSERT_NE(filter, nullptr);
    if (c.reportBefore != nullptr) {
      testing::internal::CaptureStdout();
      WriteReport(c.reportBefore);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), c.reportBefore);
    }

    EXCEPTION_POINTERS fault = {};
    for (int i = 0; i < c.faults; ++i) EXPECT_EQ(filter(&fault), EXCEPTION_EXECUTE_HANDLER);

    EXPECT_EQ(sim::StandardOutput(), c.output);
    EXPECT_EQ(sim::ExitCode(), 0);
  }
  // The guard is only a setting: it writes nothing by itself.
  SetUp();
  GuardProcess();
  EXPECT_EQ(sim::StandardOutput(), "");
  EXPECT_EQ(sim::ExitCode(), -1);
}

TEST_F(ProcessGuardTest, TheWorkingDirectoryLeavesTheDllSearch) {
  const std::wstring kWorking = L"C:\\Users\\Player\\Downloads";
  struct Case {
    const char* label;
    bool defaultDirectories;  // kernel32 offers SetDefaultDllDirectories
    bool defaultRefused;      // and it fails
    const char* call;
    bool besideExe;  // a bare name still finds a library beside the executable
  };
  const Case cases[] = {
      // System32 only: a system library's own bare-name loads find nothing planted.
      {"loader with default directories", true, false, "SetDefaultDllDirectories 0x800", false},
      {"older loader", false, false, "SetDllDirectoryW \"\"", true},
      // A refusal is no narrowed search: the older call still follows.
      {"default directories refused", true, true, "SetDllDirectoryW \"\"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    if (!c.defaultDirectories) sim::HideSystemExport("kernel32.dll", "SetDefaultDllDirectories");
    if (c.defaultRefused) {
      sim::SetSystemExport("kernel32.dll", "SetDefaultDllDirectories",
                           reinterpret_cast<void*>(+[](DWORD) -> BOOL WINAPI { return FALSE; }));
    }
    sim::SetWorkingDirectory(kWorking);
    sim::AddLibrary(kWorking + L"\\stphelper.dll", {});
    sim::AddLibrary(L"C:\\Program Files\\Launcher\\stpbeside.dll", {});
    // Control: the standard order does reach the working directory.
    HMODULE control = LoadLibraryExW(L"stphelper.dll", nullptr, 0);
    ASSERT_NE(control, nullptr);
    FreeLibrary(control);
    sim::ClearTrace();

    ASSERT_TRUE(NarrowDllSearch());

    EXPECT_EQ(sim::CountTrace(c.call), 1u);
    EXPECT_EQ(LoadLibraryExW(L"stphelper.dll", nullptr, 0), nullptr);
    HMODULE beside = LoadLibraryExW(L"stpbeside.dll", nullptr, 0);
    EXPECT_EQ(beside != nullptr, c.besideExe);
    if (beside != nullptr) FreeLibrary(beside);
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
