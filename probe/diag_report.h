// The diagnostic companion's account of one probe run: what an observer heard
// while the run's own checks ran, and the "name: value" lines made from it.
// Nothing here walks, judges or asks the platform anything: every fact is one
// the run reported.
#pragma once

#include <string>
#include <vector>

#include "probe/process_guard.h"
#include "secureload/verify_observer.h"

// One nested candidate as the walk judged it (ObservedEvent's fields).
struct ObservedNestedSigner {
  DWORD binding;
  DWORD verdict;
  DWORD error;
  DWORD refusal;  // the SignerRefusal its gates told, or kRefusalNone
};

// What was heard about one copy of the runtime library.
struct ObservedLibrary {
  bool lookedFor = false;
  bool havePath = false;
  std::wstring path;
  bool absent = false;
  bool haveAttributes = false;
  DWORD attributes = 0;
  bool haveHeldPath = false;
  std::wstring heldPath;
  bool loadEnded = false;
  DWORD loaded = 0;
  DWORD loadError = 0;
  // The last word on the primary signer: kObservedPrimarySigner, one of the
  // steps that end before it, or 0 when the check was not reached.
  DWORD signerStep = 0;
  DWORD signerVerdict = 0;
  DWORD signerError = 0;
  DWORD signerRefusal = kRefusalNone;
  // A refusal told and not yet claimed by the signer event that follows it.
  DWORD pendingRefusal = kRefusalNone;
  std::vector<ObservedNestedSigner> nested;
};

struct ObservedRun {
  ObservedLibrary client;
  ObservedLibrary cloud;
  ObservedLibrary* current = nullptr;  // the copy the steps now heard are about
  bool haveCloudBinding = false;
  DWORD cloudBinding = 0;
  bool haveRuntimeResult = false;
  DWORD runtimeResult = 0;
  bool haveAnswer = false;
  DWORD asked = 0;
  DWORD inCloud = 0;
};

// An observer that writes what it hears into *run.
VerifyObserver RecordingObserver(ObservedRun* run);

// The companion's lines, in order, without line ends. search: what narrowing
// the DLL search achieved (when nothing, nothing ran and run is empty);
// report: the probe's report line as the run returned it.
std::vector<std::string> DiagnosisLines(DllSearch search, const ObservedRun& run, const char* pins,
                                        DWORD systemBuildLevel, const char* report);
// The same in two parts: the lines known before the run (all of them when the
// search could not be narrowed), and those of the run.
std::vector<std::string> DiagnosisHeaderLines(DllSearch search, const char* pins);
std::vector<std::string> DiagnosisRunLines(const ObservedRun& run, DWORD systemBuildLevel,
                                           const char* report);
