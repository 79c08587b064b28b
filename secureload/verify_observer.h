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
  // A check refused the signer now being judged; told just before that
  // signer's kObservedPrimarySigner or kObservedNestedSigner. verdict: which
  // check and why (a SignerRefusal).
  kObservedRefusal,
};

enum SignerRefusal : DWORD {
  kRefusalNone = 0,
  kRefusalNoSignerCertificate,   // the store holds no certificate for the signer
  kRefusalSignerTwin,            // two different certificates claim the signer
  kRefusalSignatureUnverified,   // the signature does not verify with its certificate
  kRefusalPinnedMismatch,        // not the pinned certificates (names, keys, validity)
  kRefusalForgedLink,            // pinned, but a link's signature does not verify
  kRefusalNotSelfSigned,         // pinned, but the chain does not end in a self-signed root
  kRefusalNameChains,            // the signer names are not an allowed chain
  kRefusalTimestamp,             // no time-stamp agreeing with the signing time
  kRefusalTrustVerdict,          // the platform's trust provider; its code in the last error
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
