// What a verified load and the run around it did, told as it happens to
// whoever explains the answer (the diagnostic companion, a trace in a test).
// The checks are the only place that decides: an observer only listens, is
// handed down the same calls, and is never asked anything. The probe hands
// down none, and then nothing is told.
#pragma once

#include "platform/platform.h"

enum ObservedStep : DWORD {
  // The runtime looks for one copy of the runtime library. verdict: which
  // (kObservedCloudLibrary or kObservedClientLibrary); path: where, or null
  // when no path could be made.
  kObservedLibrary = 1,
  // The runtime found no file there and does not load it.
  kObservedAbsent,
  // The verified load read the path's attributes. verdict: the attributes.
  kObservedAttributes,
  // path: the held file's final path, what is verified and loaded.
  kObservedHeldPath,
  // The trust libraries could not be made resident; error: why.
  kObservedTrustLibrariesMissing,
  // The file has no embedded signature that opens; error: why.
  kObservedNoSignature,
  // The primary signer's record could not be read; error: why.
  kObservedSignerUnreadable,
  // The primary signer judged. verdict: 1 accepted, 0 refused; error: the
  // gates' reason.
  kObservedPrimarySigner,
  // One nested candidate the walk fed and judged, in walk order. binding: its
  // proofs' NestedBinding, or kObservedUnreadable when no signer could be
  // read from it; verdict: 1 accepted, 0 refused; error: the gates' reason
  // (or the reading's) where they were reached.
  kObservedNestedSigner,
  // The verified load returned (told by its caller). verdict: 1 mapped, 0
  // refused; error: its last-error value.
  kObservedLoad,
  // The cloud half's result (a RuntimeResult) in verdict.
  kObservedCloudBinding,
  // The run's result, a RuntimeResult, in verdict.
  kObservedRuntimeResult,
  // The answer. verdict: 1 when the cloud library was asked; error: 1 when it
  // said "in the cloud".
  kObservedAnswer,
};

constexpr DWORD kObservedCloudLibrary = 1;
constexpr DWORD kObservedClientLibrary = 2;
constexpr DWORD kObservedUnreadable = 0xFFFFFFFFu;

struct ObservedEvent {
  ObservedStep step;
  DWORD verdict;
  DWORD error;
  DWORD binding;
  LPCWSTR path;  // valid only during the call
};

struct VerifyObserver {
  void (*notice)(void* context, const ObservedEvent& event);
  void* context;
};

// Tell the observer, when there is one, of a step; each leaves the last-error
// value as it was.
void Observe(const VerifyObserver* observer, ObservedStep step, DWORD verdict = 0,
             DWORD error = 0);
void ObservePath(const VerifyObserver* observer, ObservedStep step, DWORD verdict, LPCWSTR path);
void ObserveNested(const VerifyObserver* observer, DWORD binding, DWORD verdict, DWORD error);
