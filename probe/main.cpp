// platform_probe: prints {"cloud_platform":"STP"} inside the Stratoplay cloud
// and {} everywhere else, and always exits 0.
#include <cstdio>

#include "probe/probe.h"

int main(int, char**) {
  // One insertion through the text-mode stream; the newline is part of the
  // report and becomes CR LF on Windows. A failing stream is not our concern:
  // there is nowhere else to report it.
  std::fputs(RunProbe(), stdout);
  return 0;
}
