#include "tests/support/process_state.h"

#include <csignal>

#include "platform/sim/sim_control.h"
#include "probe/process_guard.h"
#include "runtime/runtime.h"
#include "secureload/crypto_api.h"
#include "secureload/shell_api.h"
#include "secureload/platform_hash.h"
#include "secureload/signer_policy.h"
#include "secureload/system_library.h"

void ResetProcessState() {
  sim::Reset();
  g_cloudRuntime = nullptr;
  g_cloudInitResult = kRuntimeNotInitialized;
  g_clientRuntimeModule = nullptr;
  g_systemBuildLevel = 0;
  g_systemLibraryCache = {};
  g_cryptoApi = {};
  g_shellApi = {};
  g_nestedCryptoApi = {};
  g_platformHashApi = {};
  g_winVerifyTrust = nullptr;
  g_reportState = kReportNone;
  g_reportOutput = nullptr;
  SetAfterRuntimeLibraryCall(nullptr);
  std::signal(SIGABRT, SIG_DFL);
}
