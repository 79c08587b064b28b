// A stand-in for the proofs a nested signature owes, linked into the test of
// the signature walk: it binds every nested signer except those it was told
// to refuse, and remembers what it was handed.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "secureload/nested_binding.h"

struct BindingCall {
  std::vector<uint8_t> serial;
  HANDLE file;
  SignaturePolicy policy;
};

struct BindingDouble {
  std::set<std::vector<uint8_t>> refused;
  // A bound signer handed over without its certificate, or without its chain.
  bool withoutCertificate = false;
  bool withoutChain = false;
  // Bound, yet handed over neither.
  std::set<std::vector<uint8_t>> emptyHanded;
  std::vector<BindingCall> calls;
};

extern BindingDouble g_bindingDouble;
