#pragma once

#include <set>
#include <string>
#include <vector>

#include "secureload/signature_policy.h"

struct LoaderCall {
  std::wstring path;
  SignaturePolicy policy;
};

extern std::vector<LoaderCall> g_loaderCalls;
extern std::set<std::wstring> g_acceptedLibraries;
