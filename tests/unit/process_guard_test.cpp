// What main sets up before any library is loaded: no error boxes, the {}
// report on a fault (once), the report's own way out, and a DLL search without
// the working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
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

// What ends a run without the main thread's report: an unhandled fault, an
// abort() through the probe's C runtime, or the watchdog at the deadline.
enum class Ending { kFault, kAbort, kDeadline };

void End(Ending ending) {
  switch (ending) {
    case Ending::kFault: {
      LPTOP_LEVEL_EXCEPTION_FILTER filter = sim::ExceptionFilter();
      ASSERT_NE(filter, nullptr);
      EXCEPTION_POINTERS fault = {};
      EXPECT_EQ(filter(&fault), EXCEPTION_EXECUTE_HANDLER);
      break;
    }
    case Ending::kAbort: {
      // The handler in place, taken out to be called as the C runtime would.
      void (*handler)(int) = std::signal(SIGABRT, SIG_DFL);
      ASSERT_NE(handler, SIG_DFL);
      ASSERT_NE(handler, SIG_ERR);
      handler(SIGABRT);
      std::signal(SIGABRT, handler);
      break;
    }
    case Ending::kDeadline:
      EXPECT_EQ(sim::RunThreads(), 1u);
      EXPECT_EQ(sim::CountTrace("Sleep 30000"), 1u);
      break;
  }
}

TEST_F(ProcessGuardTest, EveryEndingWithoutAnAnswerWritesTheEmptyReportOnce) {
  struct Case {
    const char* label;
    Ending ending;
    const char* reportBefore;  // written by main before the ending; null: none yet
    int endings;
    const char* output;  // standard output written through the plain file API
    size_t waits = 0;    // 10 ms rounds spent waiting for another thread's report
    DWORD room = 0xFFFFFFFF;  // bytes the standard output takes a write
    DWORD writeError = 0;     // the standard output is closed with this error
    bool mainWriting = false;  // main has claimed the report and not finished it
    bool overstated = false;   // WriteFile reports a byte more than it took
  };
  const Case cases[] = {
      {"fault in a runtime library before the report", Ending::kFault, nullptr, 1, "{}\r\n"},
      {"a second fault adds nothing", Ending::kFault, nullptr, 2, "{}\r\n"},
      // A library's DllMain at exit, after the report went out: no second line.
      {"fault after the in-cloud report", Ending::kFault, kReportInCloud, 1, ""},
      {"fault after the empty report", Ending::kFault, kReportNotInCloud, 1, ""},
      {"abort in a runtime library before the report", Ending::kAbort, nullptr, 1, "{}\r\n"},
      {"abort after the in-cloud report", Ending::kAbort, kReportInCloud, 1, ""},
      {"no answer by the deadline", Ending::kDeadline, nullptr, 1, "{}\r\n"},
      // The answer is out but the process has not ended (a DllMain at exit that
      // never returns): ended, with nothing added.
      {"deadline after the in-cloud report", Ending::kDeadline, kReportInCloud, 1, ""},
      // The report is short, but a pipe may take it in parts or not at all.
      {"a pipe that takes a byte a write", Ending::kFault, nullptr, 1, "{}\r\n", 0, 1},
      {"a full pipe in no-wait mode", Ending::kFault, nullptr, 1, "", 0, 0},
      {"a closed pipe", Ending::kFault, nullptr, 1, "", 0, 0xFFFFFFFF, ERROR_NO_DATA},
      // Nothing past the report is written, whatever the pipe claims it took.
      {"a pipe that claims more than it took", Ending::kFault, nullptr, 1, "{}\r\n", 0, 0xFFFFFFFF, 0,
       false, true},
      // Main is writing its own report: a second waited for, then ended all the same.
      {"fault while main writes", Ending::kFault, nullptr, 1, "", 100, 0xFFFFFFFF, 0, true},
      {"deadline while main writes", Ending::kDeadline, nullptr, 1, "", 100, 0xFFFFFFFF, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    GuardProcess();
    ASSERT_TRUE(KeepReportOutput());
    ASSERT_TRUE(StartDeadline());
    EXPECT_EQ(sim::CountTrace("CreateThread 65536 0x10000"), 1u);
    // Thirty seconds for the whole run; at most five for the watchdog to start.
    EXPECT_EQ(sim::CountTrace("WaitForSingleObject 5000"), 1u);
    // The watchdog ran before StartDeadline returned: it sleeps out the deadline.
    EXPECT_EQ(sim::CountTrace("Sleep 30000"), 1u);
    EXPECT_EQ(sim::ErrorMode(),
              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX));
    // A chatty runtime library, through the handle and through printf: none of
    // it reaches the report's output, whoever writes the report.
    EXPECT_TRUE(sim::WriteThroughStandardHandle("attach says hello\n"));
    EXPECT_TRUE(sim::WriteThroughDescriptor(1, "printf says hello\n"));
    if (c.reportBefore != nullptr) {
      WriteReport(c.reportBefore);
      EXPECT_EQ(sim::StandardOutput(),
                std::string(c.reportBefore, std::strlen(c.reportBefore) - 1) + "\r\n");
      EXPECT_TRUE(sim::WriteThroughDescriptor(1, "detach says hello\n"));
    }
    const std::string before = sim::StandardOutput();
    sim::LimitStandardOutput(c.room);
    if (c.writeError != 0) sim::FailStandardOutput(c.writeError);
    if (c.overstated) sim::OverstateStandardOutput();
    if (c.mainWriting) g_reportState = kReportClaimed;
    for (int i = 0; i < c.endings; ++i) End(c.ending);
    EXPECT_EQ(sim::StandardOutput(), before + c.output);
    EXPECT_EQ(sim::ExitCode(), 0);
    EXPECT_EQ(std::count(sim::Trace().begin(), sim::Trace().end(), "Sleep 10"),
              static_cast<std::ptrdiff_t>(c.waits));
    // Main's report after the ending's: not written, the process ends instead.
    if (c.reportBefore == nullptr && !c.mainWriting) {
      WriteReport(kReportInCloud);
      EXPECT_EQ(sim::StandardOutput(), c.output);
    }
    EXPECT_TRUE(sim::AllReleased());
  }
  // The guard and the watchdog are only settings: they write nothing by themselves.
  SetUp();
  GuardProcess();
  ASSERT_TRUE(KeepReportOutput());
  ASSERT_TRUE(StartDeadline());
  EXPECT_EQ(sim::StandardOutput(), "");
  EXPECT_EQ(sim::ExitCode(), -1);
  // Without a watchdog nothing may be loaded: main reports {} at once.
  SetUp();
  sim::FailThreadCreation(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(StartDeadline());
  EXPECT_TRUE(sim::AllReleased());
  SetUp();
  sim::FailEventCreation(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(StartDeadline());
  EXPECT_EQ(sim::CountTrace("CreateThread"), 0u);  // no watchdog without its signal
  // A watchdog that never got to run is no watchdog either.
  SetUp();
  sim::HoldNewThreads();
  EXPECT_FALSE(StartDeadline());
}

// The report's single way out: kept before any library is loaded, the only
// handle to the real output, written once, and the process ended with it.
// Where it cannot be kept, nothing may be loaded and the report still goes out.
TEST_F(ProcessGuardTest, TheReportHasItsOwnWayOut) {
  struct Case {
    const char* label;
    DWORD duplicateError;
    bool nulFails;
    bool kept;
    const char* output;  // after a library wrote through the handle and printf
    bool noOutput = false;  // started with no standard output at all
    bool ownCopy = false;   // the C runtime's descriptor 1 holds a copy of its own
    HANDLE startedWith = nullptr;  // the standard output handle when there is none
    unsigned duplicatesBefore = 0;  // duplications that succeed before duplicateError
  };
  const Case cases[] = {
      {"kept: libraries write to NUL", 0, false, true, "{\"cloud_platform\":\"STP\"}\r\n"},
      {"no duplicate", ERROR_NOT_ENOUGH_MEMORY, false, false, nullptr},
      {"no NUL", 0, true, false, nullptr},
      // Nobody reads an answer, but the run is no failure: it goes on.
      {"started without a standard output", 0, false, true, "", true},
      // _dup2 leaves the standard handle to the probe.
      {"a C runtime with its own copy", 0, false, true, "{\"cloud_platform\":\"STP\"}\r\n", false,
       true},
      {"started with an invalid standard output handle", 0, false, true, "", true, false,
       INVALID_HANDLE_VALUE},
      {"descriptor 1 cannot be moved to NUL", ERROR_NOT_ENOUGH_MEMORY, false, false, nullptr, false,
       false, nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    if (c.duplicateError != 0) sim::FailHandleDuplication(c.duplicateError, c.duplicatesBefore);
    if (c.nulFails) sim::FailNulOpen();
    if (c.ownCopy) sim::CrtHoldsItsOwnOutputHandle();
    if (c.noOutput) {
      _close(1);
      SetStdHandle(STD_OUTPUT_HANDLE, c.startedWith);
    }
    EXPECT_EQ(KeepReportOutput(), c.kept);
    if (c.kept) {
      // Nothing a child of a library could inherit leads to the real output.
      EXPECT_EQ(sim::InheritableOutputHandles(), 0u);
      EXPECT_EQ(sim::WriteThroughStandardHandle("init says hello\n"), !c.noOutput);
      EXPECT_EQ(sim::WriteThroughDescriptor(1, "printf says hello\n"), !c.noOutput);
      WriteReport(kReportInCloud);
      EXPECT_EQ(sim::StandardOutput(), c.output);
    } else {
      // Main then loads nothing and reports {}: to the real output.
      WriteReport(kReportNotInCloud);
      EXPECT_EQ(sim::StandardOutput(), "{}\r\n");
    }
    // The companion's lines follow it whole, with or without their own newline,
    // a UTF-8 path's bytes included; a line one past what the buffer takes.
    const std::string path = "client library path: C:\\Users\\Zo\xC3\xAB\\StpRuntimeSdk.dll";
    WriteOutputLine("answer: {}");
    WriteOutputLine(std::string(600, 'x').c_str());
    WriteOutputLine(path.c_str());
    WriteOutputLine(std::string(511, 'y').c_str());
    if (c.output != nullptr && !c.noOutput) {
      EXPECT_EQ(sim::StandardOutput(), c.output + std::string("answer: {}\r\n") +
                                           std::string(600, 'x') + "\r\n" + path + "\r\n" +
                                           std::string(511, 'y') + "\r\n");
    }
    const std::string once = sim::StandardOutput();
    EndRun();
    EXPECT_EQ(sim::ExitCode(), 0);
    WriteReport(kReportNotInCloud);
    EXPECT_EQ(sim::StandardOutput(), once);
  }
}

TEST_F(ProcessGuardTest, TheWorkingDirectoryLeavesTheDllSearch) {
  const std::wstring kWorking = L"C:\\Users\\Player\\Downloads";
  struct Case {
    const char* label;
    bool defaultDirectories;  // kernel32 offers SetDefaultDllDirectories
    bool defaultRefused;      // and it fails
    const char* call;
    bool besideExe;  // a bare name still finds a library beside the executable
    DllSearch result;
  };
  const Case cases[] = {
      // System32 only: a system library's own bare-name loads find nothing planted.
      {"loader with default directories", true, false, "SetDefaultDllDirectories 0x800", false,
       kDllSearchSystemOnly},
      {"older loader", false, false, "SetDllDirectoryW \"\"", true, kDllSearchWithoutWorkingDirectory},
      // A refusal is no narrowed search: the older call still follows.
      {"default directories refused", true, true, "SetDllDirectoryW \"\"", true,
       kDllSearchWithoutWorkingDirectory},
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

    EXPECT_EQ(NarrowDllSearch(), c.result);

    EXPECT_EQ(sim::CountTrace(c.call), 1u);
    EXPECT_EQ(LoadLibraryExW(L"stphelper.dll", nullptr, 0), nullptr);
    HMODULE beside = LoadLibraryExW(L"stpbeside.dll", nullptr, 0);
    EXPECT_EQ(beside != nullptr, c.besideExe);
    if (beside != nullptr) FreeLibrary(beside);
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
