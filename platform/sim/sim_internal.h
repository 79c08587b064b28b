// Shared plumbing between the parts of the simulated Windows. Not for tests.
#pragma once

#include <functional>
#include <string>

#include "platform/sim/sim_windows.h"

namespace sim::internal {

// A part of the world (crypt messages, certificates, trust verdicts) registers
// a reset function that the kernel part calls from sim::Reset(), after the
// system modules exist and before anything else runs. Register with a
// namespace-scope object:  static const WorldPart part{[] { ... }};
struct WorldPart {
  explicit WorldPart(std::function<void()> reset);
};

// Adds an export to a system module of the default world ("crypt32.dll",
// "wintrust.dll", ...). Call from a part's reset function.
void RegisterSystemExport(const std::string& module, const std::string& name, void* function);

// What a call whose success is documented as "nonzero" (not TRUE) answers
// when it succeeds: a nonzero value other than 1, and negative, so that code
// taking only TRUE, or only a positive value, for success shows.
constexpr BOOL kNonzeroSuccess = -1;

// Appends a line to the trace.
void TraceLine(std::string line);

// Adjusts the live counters kept by other parts (see sim::Counters).
enum class Counter {
  kMessages,
  kStores,
  kCertContexts,
  kChainContexts,
  kHashObjects,
  kBadReleases
};
void Count(Counter counter, int delta);

// Called by every release that succeeds: leaves the last error alone, or sets
// it as sim::ClobberLastErrorOnRelease asked.
void AfterRelease();

// Whether the path names an existing regular file (not a directory or device).
bool IsFile(const std::wstring& path);
// The normalised key of a path (lower case, backslashes), as files are kept.
std::wstring PathKey(const std::wstring& path);
// The same without the case folding: how the path spells each component.
std::wstring DisplayPath(const std::wstring& path);

// UTF-8 as the UTF-16 units the platform would hold (pairs above U+FFFF, U+FFFD
// for a byte that is not UTF-8), NULs included.
std::wstring WideFromUtf8(const std::string& text);

}  // namespace sim::internal
