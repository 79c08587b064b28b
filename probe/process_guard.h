// What the probe's process is told before anything else runs: the platform
// shows no error box, a fault anywhere still ends in the not-in-cloud report,
// and no library is ever taken from the working directory.
#pragma once

#include "platform/platform.h"

// Set once the report has been flushed to standard output.
extern volatile bool g_reportWritten;

// Turns the platform's error boxes off and sets the unhandled-exception filter:
// a fault that nothing else handles (in a runtime library's code, in its
// DllMain, in ours) ends the process with exit code 0, after writing the
// not-in-cloud report unless a report has already gone out.
void GuardProcess();

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
// a fault afterwards (a library's DllMain at exit) writes no second one.
void WriteReport(const char* report);
