// Process-wide state of the verifier. Each value is filled once on first use
// and kept until the process exits; nothing here is ever released.
#include "secureload/crypto_api.h"
#include "secureload/shell_api.h"
#include "secureload/platform_hash.h"
#include "secureload/signer_policy.h"
#include "secureload/system_library.h"

DWORD g_systemBuildLevel = 0;
SystemLibraryCache g_systemLibraryCache = {};
CryptoApiTable g_cryptoApi = {};
ShellApiTable g_shellApi = {};
NestedCryptoApiTable g_nestedCryptoApi = {};
PlatformHashApi g_platformHashApi = {};
decltype(&::WinVerifyTrust) g_winVerifyTrust = nullptr;
