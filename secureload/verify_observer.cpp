// Telling an observer; out of line, so that each step costs the probe, which
// hands down none, only a call.
#include "secureload/verify_observer.h"

namespace {

void Tell(const VerifyObserver* observer, const ObservedEvent& event) {
  if (observer == nullptr) return;
  const DWORD lastError = GetLastError();
  observer->notice(observer->context, event);
  SetLastError(lastError);
}

}  // namespace

void Observe(const VerifyObserver* observer, ObservedStep step, DWORD verdict, DWORD error) {
  Tell(observer, ObservedEvent{step, verdict, error, 0, nullptr});
}

void ObservePath(const VerifyObserver* observer, ObservedStep step, DWORD verdict, LPCWSTR path) {
  Tell(observer, ObservedEvent{step, verdict, 0, 0, path});
}

void ObserveNested(const VerifyObserver* observer, DWORD binding, DWORD verdict, DWORD error) {
  Tell(observer, ObservedEvent{kObservedNestedSigner, verdict, error, binding, nullptr});
}
