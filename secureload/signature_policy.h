// Which signer check a library must pass before it is mapped.
#pragma once

#include <cstdint>

using SignaturePolicy = uint32_t;

constexpr SignaturePolicy kPolicyPinnedChain = 1;  // the cloud library: four pinned certificates
constexpr SignaturePolicy kPolicyNamedChains = 2;  // the client library: allowed signer-name chains
// Any other value has no policy gate; only the platform trust check applies.
