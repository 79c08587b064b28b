// The only door to Windows. The logic includes this header for every Windows
// type, constant and function it uses: on Windows these are the SDK's own; on
// the host they are the simulated Windows of platform/sim.
#pragma once

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <shlobj.h>
#include <shlwapi.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>

// The C runtime heap. The host build routes it through the simulation so tests
// can count and fail allocations.
inline void* CrtAlloc(size_t bytes) { return std::malloc(bytes); }
inline void CrtFree(void* block) { std::free(block); }

#else

#include "platform/sim/sim_windows.h"

#endif

#include <cstdint>

// Function pointers come back from GetProcAddress as FARPROC; converting them to
// their real prototype goes through void* so that the cast is explicit and quiet
// on every compiler we use.
template <typename Fn>
inline Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}
