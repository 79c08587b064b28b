// Placeholder until the signer policy is in: every signer is refused, so no
// library can pass verification.
#include "secureload/signer_policy.h"

DWORD VerifySigner(PCMSG_SIGNER_INFO, HCERTSTORE, LPCWSTR, SignaturePolicy) {
  SetLastError(0);
  return 0;
}
