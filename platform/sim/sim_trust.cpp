// wintrust.dll of the simulated Windows: WinVerifyTrust judges a file by the
// verdict a test gave its path, and keeps a copy of everything it was handed.
#include <cstring>
#include <map>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

constexpr LONG kInvalidArgument = static_cast<LONG>(0x80070057UL);  // E_INVALIDARG
constexpr LONG kProviderUnknown = static_cast<LONG>(0x800B0001UL);  // TRUST_E_PROVIDER_UNKNOWN
constexpr LONG kSubjectFormUnknown =
    static_cast<LONG>(0x800B0003UL);  // TRUST_E_SUBJECT_FORM_UNKNOWN

struct TrustWorld {
  std::map<std::wstring, LONG> verdicts;  // by path key
  std::vector<TrustCall> calls;
};

TrustWorld& T() {
  static TrustWorld world;
  return world;
}

bool IsGenericVerifyV2(const GUID& action) {
  const GUID expected = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return std::memcmp(&action, &expected, sizeof expected) == 0;
}

const internal::WorldPart kTrustPart{[] {
  T() = TrustWorld{};
  internal::RegisterSystemExport("wintrust.dll", "WinVerifyTrust",
                                 reinterpret_cast<void*>(&::WinVerifyTrust));
}};

}  // namespace

void SetTrustVerdict(const std::wstring& path, LONG status) {
  T().verdicts[internal::PathKey(path)] = status;
}

const std::vector<TrustCall>& TrustCalls() { return T().calls; }

}  // namespace sim

LONG WINAPI WinVerifyTrust(HWND window, GUID* actionId, LPVOID data) {
  sim::TrustCall call;
  std::memset(&call.action, 0, sizeof call.action);
  std::memset(&call.data, 0, sizeof call.data);
  std::memset(&call.file, 0, sizeof call.file);
  call.windowIsInvalidHandle = reinterpret_cast<HANDLE>(window) == INVALID_HANDLE_VALUE;
  if (actionId != nullptr) call.action = *actionId;
  const auto* trust = static_cast<const WINTRUST_DATA*>(data);
  if (trust != nullptr) {
    std::memcpy(&call.data, trust, sizeof call.data);
    if (trust->dwUnionChoice == WTD_CHOICE_FILE && trust->pFile != nullptr) {
      call.file = *trust->pFile;
      if (call.file.pcwszFilePath != nullptr) call.path = call.file.pcwszFilePath;
    }
  }
  sim::internal::TraceLine("WinVerifyTrust " + sim::Narrow(call.path));
  sim::TrustCall& kept = sim::T().calls.emplace_back(std::move(call));

  if (actionId == nullptr || trust == nullptr) return sim::kInvalidArgument;
  if (!sim::IsGenericVerifyV2(kept.action)) return sim::kProviderUnknown;
  if (trust->dwUnionChoice != WTD_CHOICE_FILE || trust->pFile == nullptr) {
    return sim::kSubjectFormUnknown;
  }
  if (kept.file.pcwszFilePath == nullptr) return sim::kInvalidArgument;
  auto verdict = sim::T().verdicts.find(sim::internal::PathKey(kept.path));
  return verdict == sim::T().verdicts.end() ? TRUST_E_NOSIGNATURE : verdict->second;
}
