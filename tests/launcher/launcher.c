/* What a C launcher writes: the C entry point's header, compiled as C90. */
#include <stdio.h>
#include <wchar.h>

#include "probe_caller_c.h"

int wmain(int argc, wchar_t** argv) {
  char reason[64];
  int kind = 0;
  unsigned long detail = 0;
  int answer;
  if (argc != 2) {
    printf("probe_caller %s\n", PLATFORM_PROBE_CALLER_VERSION);
    return 2;
  }
  answer = PlatformProbeQueryCloud(argv[1], 10000, &kind, &detail, reason, sizeof reason);
  printf("%d %d %s %lu\n", answer, kind, reason, detail);
  return answer == PLATFORM_PROBE_IN_CLOUD ? 0 : 1;
}
