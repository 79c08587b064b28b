/* Asking platform_probe.exe from C, or from any language that binds C: the
   same call as platform_probe::QueryCloudPlatform (probe_caller.h), with plain
   integers and a buffer of the caller's for the reason. Link the probe_caller
   library; this header compiles as C89 and as C++.

     char reason[128];
     int kind;
     unsigned long detail;
     int answer = PlatformProbeQueryCloud(L"C:\\Games\\Launcher\\platform_probe.exe", 35000,
                                          &kind, &detail, reason, sizeof reason);
     if (answer == PLATFORM_PROBE_IN_CLOUD) { ... }
     (PLATFORM_PROBE_FAILED: log kind, detail and reason; treat it as not in the cloud.) */
#ifndef PLATFORM_PROBE_CALLER_PROBE_CALLER_C_H_
#define PLATFORM_PROBE_CALLER_PROBE_CALLER_C_H_

#include <stddef.h> /* wchar_t */

#include "probe_caller_version.h"

/* What PlatformProbeQueryCloud returns. */
#define PLATFORM_PROBE_NOT_IN_CLOUD 0
#define PLATFORM_PROBE_IN_CLOUD 1
#define PLATFORM_PROBE_FAILED (-1)

/* *failureKind: the numbers of platform_probe::FailureKind; *detail as it says. */
#define PLATFORM_PROBE_FAILURE_NONE 0
#define PLATFORM_PROBE_FAILURE_PATH_REFUSED 1
#define PLATFORM_PROBE_FAILURE_COULD_NOT_START 2
#define PLATFORM_PROBE_FAILURE_TIMED_OUT 3
#define PLATFORM_PROBE_FAILURE_WROTE_TOO_MUCH 4
#define PLATFORM_PROBE_FAILURE_NOT_A_REPORT 5
#define PLATFORM_PROBE_FAILURE_EXIT_CODE 6
#define PLATFORM_PROBE_FAILURE_CRASHED 7
#define PLATFORM_PROBE_FAILURE_READ_FAILED 8

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the probe at probePath (absolute, an .exe), waits at most timeoutMs
   for it once it has started, and returns PLATFORM_PROBE_IN_CLOUD,
   PLATFORM_PROBE_NOT_IN_CLOUD or PLATFORM_PROBE_FAILED. failureKind and detail
   receive the failure's kind and detail (both 0 with an answer); reason
   receives the reason text, cut to reasonSize - 1 bytes and always
   terminated. Each of the four may be null (reason with any reasonSize, and
   a reasonSize of 0 leaves reason untouched). Returns within the limit, plus
   up to a second to end a probe that overran it, once the probe has started;
   may be called from any thread. */
int PlatformProbeQueryCloud(const wchar_t* probePath, unsigned long timeoutMs, int* failureKind,
                            unsigned long* detail, char* reason, unsigned long reasonSize);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PROBE_CALLER_PROBE_CALLER_C_H_ */
