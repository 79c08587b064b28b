#!/usr/bin/env bash
# How long a launcher waits for the probe's answer under Wine, cold and warm:
# the caller library's own figure (caller_driver.exe's elapsed_ms: from the
# call to its answer), in the caller tests' prefix set-up (test roots trusted).
#   first the first run after the set-up (for a new WORK, in a prefix just made)
#   cold  every Wine process of the prefix ended first (wineserver -k), so the
#         run starts Wine's server and services again
#   warm  right after another run
# Two machines, each with a signed client copy beside the probe: a player's
# (the release build, no cloud copy) and a cloud machine (the test-pinned
# build beside a cloud copy it accepts; both copies' signatures checked).
# Prints one line per run and the medians.
#
# usage: caller_timing.sh [RUNS] [BUILD] [WORK]   (default 5, build/windows-i686
#        or WINE_ENV_ARCH=win64 and build/windows-x86_64, build/caller-timing)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=wine_env.sh
source "$repo/scripts/wine_env.sh"
runs=${1:-5}
default_build=$repo/build/windows-i686
[[ ${WINE_ENV_ARCH:-win32} == win64 ]] && default_build=$repo/build/windows-x86_64
build=$(cd "${2:-$default_build}" && pwd)
work=${3:-$repo/build/caller-timing}
bash "$repo/tests/e2e/caller.sh" setup "$work" "$build" >/dev/null
wine_env_use "$work/win7/prefix"
dir=$WINEPREFIX/drive_c/timing
cloud="$WINEPREFIX/drive_c/ProgramData/KORVEX Corporation/Stratoplay"
mkdir -p "$dir/release" "$dir/cloud"
cp "$build/e2e/bin/caller_driver.exe" "$build/platform_probe.exe" "$dir/release/"
cp "$build/e2e/bin/caller_driver.exe" "$build/test-pinned/platform_probe.exe" "$dir/cloud/"
for probe in release cloud; do
  cp "$build/e2e/fixtures/client-c4-rfc3161.dll" "$dir/$probe/StpRuntimeSdk.dll"
done
export STP_FAKE_INITIALIZE2=0 STP_FAKE_IN_CLOUD=1 STP_FAKE_CLIENT_INITIALIZE=0
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
first=yes
for probe in cloud release; do
  rm -rf "$cloud"
  if [[ $probe == cloud ]]; then
    mkdir -p "$cloud"
    cp "$build/e2e/fixtures/cloud-pinned.dll" "$cloud/STP32.dll"
  fi
  for temperature in first cold warm; do
    count=$runs
    if [[ $temperature == first ]]; then
      [[ $first == yes ]] || continue
      count=1 first=no
    fi
    : >"$work/$probe.$temperature"
    for ((i = 0; i < count; i++)); do
      if [[ $temperature == cold ]]; then
        wine_env_stop
        wine_env_start_server
      fi
      wine_env_run "$work/said" "$work/err" -- "C:\\timing\\$probe\\caller_driver.exe" \
        "C:\\timing\\$probe\\platform_probe.exe" 60000
      said=$(tr -d '\r' <"$work/said")
      echo "$probe $temperature: $(grep '^answer:' <<<"$said") $(grep '^elapsed_ms:' <<<"$said")"
      sed -n 's/^elapsed_ms: //p' <<<"$said" >>"$work/$probe.$temperature"
    done
    echo "$probe $temperature: median $(median <"$work/$probe.$temperature") ms of $count"
  done
done
wine_env_stop
