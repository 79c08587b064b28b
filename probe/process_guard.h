// What the probe's process is told before anything else runs: the platform
// shows no error box, a fault anywhere still ends in the not-in-cloud report,
// the report has a way out of its own that no library can write to, no library
// is ever taken from the working directory, and a run that gives no answer in
// time ends with the not-in-cloud report too.
#pragma once

#include <atomic>

#include "platform/platform.h"

// The one report of the process: none yet, one being written (by main, the
// watchdog or the fault guard, whichever claimed it first), or out.
enum ReportState : int { kReportNone = 0, kReportClaimed = 1, kReportOut = 2 };
extern std::atomic<int> g_reportState;

// The report's way out: a private, non-inheritable duplicate of the standard
// output the process was started with (null when it had none). Only the report
// (and the companion's lines) go there.
extern HANDLE g_reportOutput;

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

// Keeps the report's way out (g_reportOutput) and takes standard output away
// from everything else, before any runtime library is loaded: the standard
// output handle and the C runtime's descriptor 1 lead to NUL from here on, so a
// library that writes there (at load, in its calls, at exit; through the handle
// or through printf of the C runtime it shares with the probe) writes nothing
// that reaches the caller. No inheritable handle to the real output is left,
// so a process a library starts cannot hold the caller's pipe open. False when
// that cannot be done: then nothing may be loaded, and the report still goes
// to the real output.
[[nodiscard]] bool KeepReportOutput();

// Starts the watchdog: a thread that sleeps for kDeadlineMilliseconds and then
// ends the process with exit code 0, writing the not-in-cloud report first
// unless a report has already gone out (or is going out: it then lets that one
// finish). Returns once the thread runs: a new thread passes through the
// loader before its first instruction, and a library's DllMain that never
// returns would hold it there. False when the thread cannot be started or does
// not signal within kWatchdogStartMilliseconds: then nothing may be loaded.
[[nodiscard]] bool StartDeadline();

// How long the main thread waits for the watchdog to run. A thread starts in
// well under a millisecond; this only bounds a system too starved to start one.
constexpr DWORD kWatchdogStartMilliseconds = 5000;

// Takes the working directory out of the DLL search for the rest of the
// process, before any library is loaded. Where the loader has default search
// directories, a library loaded by bare name (a system library's own delayed
// loads included) comes from the system directory only: the working directory,
// the executable's directory, PATH and the Windows directory all go. The
// verified loader names the executable's directory for a runtime library's
// dependencies itself. On older loaders the working directory is taken out of
// the standard order. kDllSearchUnchanged when neither can be done: then
// nothing may be loaded.
enum DllSearch : int {
  kDllSearchUnchanged = 0,
  kDllSearchSystemOnly = 1,              // default directories: System32 only
  kDllSearchWithoutWorkingDirectory = 2  // the standard order, working directory out
};
[[nodiscard]] DllSearch NarrowDllSearch();

// Writes the report (its newline as CR LF, as a text-mode stream would) to the
// report's way out and notes that it has gone out, so that a fault afterwards
// writes no second one. Only one report is ever written: when the watchdog or
// a fault got there first, this writes nothing and waits for that one to end
// the process.
void WriteReport(const char* report);

// Writes one line of the companion's (its newline as CR LF) to the report's way
// out, whole, after what was written before.
void WriteOutputLine(const char* line);

// Ends the process with exit code 0 once the report is out, without running
// the libraries' unload notifications or anything else of the process's exit.
void EndRun();
