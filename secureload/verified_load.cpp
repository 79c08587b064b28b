// Placeholder until the signature check is in: nothing is ever mapped.
#include "secureload/verified_load.h"

HMODULE LoadVerifiedLibrary(LPCWSTR, SignaturePolicy) {
  SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
  return nullptr;
}
