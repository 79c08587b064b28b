// Telling an observer; out of line, so that each step costs the probe, which
// hands down none, only a call.
#include "secureload/verify_observer.h"

void Observe(const VerifyObserver* observer, ObservedStep step, DWORD verdict, DWORD error,
             DWORD binding, LPCWSTR path) {
  if (observer == nullptr) return;
  const DWORD lastError = GetLastError();
  observer->notice(observer->context, ObservedEvent{step, verdict, error, binding, path});
  SetLastError(lastError);
}
