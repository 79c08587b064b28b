// What a C++ launcher writes: one include, one call.
#include <cstdio>

#include "probe_caller.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::printf("probe_caller %s\n", platform_probe::kCallerVersion);
    return 2;
  }
  const platform_probe::CloudPlatformAnswer answer = platform_probe::QueryCloudPlatform(argv[1], 10000);
  std::printf("%d %d %s %lu\n", static_cast<int>(answer.platform), static_cast<int>(answer.kind), answer.reason,
              answer.detail);
  return answer.platform == platform_probe::CloudPlatform::kInCloud ? 0 : 1;
}
