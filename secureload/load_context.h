// What one verified load carries down through its checks: the handle it holds
// on the file, the work done once for the whole load, and the bounds that keep
// a refused file's cost a small multiple of one genuine verification. Made by
// LoadVerifiedLibrary for each load and handed down by reference; anything else
// the checks of one load share (an observer of those checks, say) belongs here.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "secureload/platform_hash.h"
#include "secureload/verify_observer.h"

// The largest runtime library a load reads at all, checked on the held handle
// before anything reads the file. A runtime SDK library is a few MiB, the
// largest platform SDK libraries a few tens; 64 MiB leaves room for growth
// while a refused file costs at most a reading and a hash of that much (about
// 0.3 s for 60 MiB under Wine).
constexpr uint32_t kMaxRuntimeLibrarySize = 64u * 1024 * 1024;

// How many nested candidates one load feeds to a message and judges. A
// genuine file carries one or two nested signatures; each candidate judged in
// full may cost a chain build (0.2 to 0.3 s under Wine), so four bound a
// refused file at about a second of proofs on top of its primary signer, and
// still leave room for a file signed once or twice more. Cheap tests before the
// chain build (names, carried keys) would not bound anything: an attacker's
// own candidates copy whatever is public.
constexpr uint32_t kMaxNestedCandidates = 4;

// The image digest of the held file for one algorithm, computed at most once
// per load whatever the number of nested signatures that ask for it. A failed
// computation is remembered as such.
struct ImageDigestMemo {
  ALG_ID algorithm = 0;  // 0: not asked yet
  bool computed = false;
  DWORD size = 0;
  BYTE bytes[kMaxDigestSize] = {};
};

struct LoadContext {
  // The handle the load holds on the file (shared for reading only); the
  // image digest is read through it.
  HANDLE file = nullptr;
  // One slot per supported algorithm: SHA-1 and SHA-256.
  ImageDigestMemo digests[2] = {};
  // Nested candidates the walk may still feed to a message.
  uint32_t nestedCandidatesLeft = kMaxNestedCandidates;
  // Told each step of the checks, when not null (the probe hands down none).
  const VerifyObserver* observer = nullptr;
};
