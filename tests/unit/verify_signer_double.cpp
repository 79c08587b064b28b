#include "tests/unit/verify_signer_double.h"

#include "secureload/signer_policy.h"

SignerDouble g_signerDouble;

DWORD VerifySigner(PCMSG_SIGNER_INFO signer, PCCERT_CONTEXT, HCERTSTORE store, LPCWSTR path,
                   HANDLE file, SignaturePolicy policy, const CERT_SIMPLE_CHAIN*,
                   const VerifyObserver*) {
  SignerCall call{signer, {}, store, path ? path : L"", file, policy, {}, sim::Live()};
  if (signer != nullptr && signer->SerialNumber.pbData != nullptr) {
    call.serial.assign(signer->SerialNumber.pbData,
                       signer->SerialNumber.pbData + signer->SerialNumber.cbData);
  }
  if (path != nullptr) call.openFiles = sim::OpenFilesOf(path);
  const bool accept = g_signerDouble.accepted.count(call.serial) != 0;
  g_signerDouble.calls.push_back(std::move(call));
  SetLastError(g_signerDouble.lastError);
  return accept ? 1 : 0;
}

std::vector<std::vector<uint8_t>> SignerSerials() {
  std::vector<std::vector<uint8_t>> serials;
  for (const SignerCall& call : g_signerDouble.calls) serials.push_back(call.serial);
  return serials;
}
