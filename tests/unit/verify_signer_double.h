// A stand-in for the signer policy, linked into the tests of the loaders and
// the signature walk: it accepts the signers whose serial numbers it was told
// to, and remembers every call with what the world looked like at that moment.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "secureload/signature_policy.h"

struct SignerCall {
  PCMSG_SIGNER_INFO signer;
  std::vector<uint8_t> serial;
  HCERTSTORE store;
  std::wstring path;
  HANDLE file;  // the held handle the trust provider is to be given
  SignaturePolicy policy;
  std::vector<sim::OpenFile> openFiles;  // the probe's handles on `path` during the call
  sim::Counters live;
};

struct SignerDouble {
  std::set<std::vector<uint8_t>> accepted;
  // Left as the last error on every return, so a caller that forgets to set its
  // own is caught.
  DWORD lastError = 0xBAD;
  std::vector<SignerCall> calls;
};

extern SignerDouble g_signerDouble;

// The serials of the signers seen, in call order.
std::vector<std::vector<uint8_t>> SignerSerials();
