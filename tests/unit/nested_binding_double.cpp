#include "tests/unit/nested_binding_double.h"

BindingDouble g_bindingDouble;

NestedBinding ProveNestedBinding(HCRYPTMSG, const CMSG_SIGNER_INFO& signer, HCERTSTORE,
                                 LoadContext& context, SignaturePolicy policy,
                                 PCCERT_CHAIN_CONTEXT* verifiedChain) {
  if (verifiedChain != nullptr) *verifiedChain = nullptr;
  BindingCall call{{}, context.file, policy};
  if (signer.SerialNumber.pbData != nullptr) {
    call.serial.assign(signer.SerialNumber.pbData,
                       signer.SerialNumber.pbData + signer.SerialNumber.cbData);
  }
  const bool refuse = g_bindingDouble.refused.count(call.serial) != 0;
  g_bindingDouble.calls.push_back(std::move(call));
  return refuse ? kNestedNotThisFile : kNestedBound;
}
