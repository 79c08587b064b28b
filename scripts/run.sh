#!/usr/bin/env bash
# Installs what is missing, builds platform_probe.exe and runs it once under Wine
# in a private 32-bit prefix (build/wine-run), printing its report line. Set-up
# and build messages go to standard error; standard output is the line alone.
# Exits with the probe's exit status.
#
# On a host that cannot execute 32-bit programs (32-bit Wine cannot start
# there), it builds the probe alone from the same source for x86_64 and runs
# that under 64-bit Wine (build/wine-run64), saying so in one line on standard
# error. PROBE_WINE_ARCH=win32|win64 chooses instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh >&2
source scripts/build_env.sh
source scripts/wine_env.sh

arches=$(wine_env_host_arches)
if [[ " $arches " == *" win32 "* ]]; then
  arch=win32 preset=windows-i686 run_dir=build/wine-run
  build_preset windows-i686 >&2
elif [[ " $arches " == *" win64 "* ]]; then
  arch=win64 preset=windows-x86_64 run_dir=build/wine-run64
  build_preset windows-x86_64 platform_probe >&2
else
  echo "run: this host can execute neither 32-bit nor 64-bit Wine" >&2
  exit 1
fi

trap wine_env_stop EXIT
wine_env_boot "$run_dir/prefix" "$arch" >&2

status=0
wine_env_run "$run_dir/stdout" "$run_dir/stderr" -- "build/$preset/platform_probe.exe" || status=$?
# The exe writes text mode, CR LF on Windows; here the line is Linux text.
tr -d '\r' <"$run_dir/stdout"
if [[ $arch == win64 ]]; then
  reason=$(wine_env_arch_reason win32 || true)
  echo "run: ${reason:-32-bit Wine was not chosen}; the 64-bit build of the same source answered" >&2
fi
if [[ $status -ne 0 ]]; then
  cat "$run_dir/stderr" >&2
  echo "platform_probe.exe exited with status $status" >&2
fi
exit "$status"
