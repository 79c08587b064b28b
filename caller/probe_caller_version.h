/* The caller library's version: always the probe's own (the VERSION file at
   the top of the source tree; the build and the release packer refuse a
   difference), so a copy of the library names the probe it was made with.
   C and C++. */
#ifndef PLATFORM_PROBE_CALLER_PROBE_CALLER_VERSION_H_
#define PLATFORM_PROBE_CALLER_PROBE_CALLER_VERSION_H_

#define PLATFORM_PROBE_CALLER_VERSION "1.0.0"

#endif /* PLATFORM_PROBE_CALLER_PROBE_CALLER_VERSION_H_ */
