// What the probe's process is told before anything else runs: the platform
// shows no error box, a fault anywhere still ends in the not-in-cloud report,
// no library is ever taken from the working directory, and a run that gives no
// answer in time ends with the not-in-cloud report too.
#pragma once

#include <atomic>

#include "platform/platform.h"

// The one report of the process: none yet, one being written (by main, the
// watchdog or the fault guard, whichever claimed it first), or out.
enum ReportState : int { kReportNone = 0, kReportClaimed = 1, kReportOut = 2 };
extern std::atomic<int> g_reportState;

// How long a run may take before the watchdog ends it. A genuine run answers
// in well under a second on Windows and in a few seconds under Wine, whose
// first start of a prefix left idle waits 10 s for a desktop service before the
// first signature check; two verified loads and a chain build per library add
// about a second more. Thirty seconds is three times the slowest genuine start
// measured, and still ends a library that never returns long before a person
// waiting on a launcher gives up. Fixed: the probe reads no setting.
constexpr DWORD kDeadlineMilliseconds = 30000;

// Turns the platform's error boxes off, sets the unhandled-exception filter and
// catches SIGABRT in the C runtime the probe uses: a fault that nothing else
// handles (in a runtime library's code, in its DllMain, in ours) or an abort()
// through that C runtime ends the process with exit code 0, after writing the
// not-in-cloud report unless a report has already gone out. Safe to call again
// at any time: after a runtime library is loaded and after every call into one
// it puts back what the library may have replaced with its own.
void GuardProcess();

// Starts the watchdog: a thread that sleeps for kDeadlineMilliseconds and then
// ends the process with exit code 0, writing the not-in-cloud report first
// unless a report has already gone out (or is going out: it then lets that one
// finish). False when the thread cannot be started: then nothing may be loaded.
[[nodiscard]] bool StartDeadline();

// Takes the working directory out of the DLL search for the rest of the
// process, before any library is loaded. Where the loader has default search
// directories, a library loaded by bare name (a system library's own delayed
// loads included) comes from the system directory only: the working directory,
// the executable's directory, PATH and the Windows directory all go. The
// verified loader names the executable's directory for a runtime library's
// dependencies itself. On older loaders the working directory is taken out of
// the standard order. False when neither can be done: then nothing may be
// loaded.
[[nodiscard]] bool NarrowDllSearch();

// Writes the report to standard output and notes that it has gone out, so that
// a fault afterwards (a library's DllMain at exit) writes no second one. Only
// one report is ever written: when the watchdog or a fault got there first, this
// writes nothing and waits for that one to end the process.
void WriteReport(const char* report);
