#!/usr/bin/env bash
# Shows both answers of the probe under Wine:
#
#   1. the RELEASE build, build/windows-i686/platform_probe.exe, on a plain
#      prefix (a player's machine: no Stratoplay cloud library): {}
#   2. the TEST-PINNED build, build/windows-i686/test-pinned/platform_probe.exe,
#      in a demo prefix that holds a cloud library signed with the test chain
#      of tests/pki/pinned (and trusts that chain's root): {"cloud_platform":"STP"}
#
# The cloud library of part 2 is the end-to-end tests' fake runtime library: it
# answers "in the cloud" because the demo tells it to (STP_FAKE_IN_CLOUD=1).
# The release build would refuse it, since it pins the release chain. After
# each answer the diagnostic companion says why.
#
# usage: scripts/demo.sh [--no-build]
# Prefixes live under build/demo/ (PROBE_DEMO_DIR) and are stopped when the
# demo ends. PROBE_WINDOWS_BUILD_DIR names another windows-i686 build.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
build=${PROBE_WINDOWS_BUILD_DIR:-$repo/build/windows-i686}
demo=${PROBE_DEMO_DIR:-$repo/build/demo}

if [[ ${1:-} != --no-build ]]; then
  bash scripts/setup.sh >&2
  # shellcheck source=build_env.sh
  source scripts/build_env.sh
  build_preset windows-i686 >&2
fi
for f in platform_probe.exe platform_probe_diag.exe test-pinned/platform_probe.exe \
  test-pinned/platform_probe_diag.exe e2e/fixtures/cloud-pinned.dll; do
  [[ -f $build/$f ]] || {
    echo "demo: $build/$f is missing; run without --no-build" >&2
    exit 1
  }
done

# shellcheck source=wine_env.sh
source scripts/wine_env.sh
prefixes=()
stop_all() {
  local p
  for p in "${prefixes[@]}"; do
    wine_env_use "$p"
    wine_env_stop
  done
}
trap stop_all EXIT

# show EXE_DIR_UNIX WIN_DIR: run the probe and its companion, print both
show() {
  local dir=$1 win=$2
  wine_env_run "$dir/stdout" "$dir/stderr" -- "$win\\platform_probe.exe" || true
  echo "   platform_probe.exe printed:"
  echo
  printf '       %s\n' "$(tr -d '\r' <"$dir/stdout")"
  echo
  wine_env_run "$dir/diag" "$dir/diag.err" -- "$win\\platform_probe_diag.exe" || true
  echo "   platform_probe_diag.exe says:"
  tr -d '\r' <"$dir/diag" | grep -E '^(pins|cloud library (present|verified load)|runtime result|answer):' |
    sed 's/^/       /'
  echo
}

echo "== 1. RELEASE build: build/windows-i686/platform_probe.exe"
echo "   on a plain Wine prefix, as on a player's own machine (no cloud library)"
plain=$demo/plain
prefixes+=("$plain/prefix")
wine_env_fresh "$plain/prefix" >&2
mkdir -p "$WINEPREFIX/drive_c/demo"
cp "$build/platform_probe.exe" "$build/platform_probe_diag.exe" "$WINEPREFIX/drive_c/demo/"
show "$plain" 'C:\demo'

echo "== 2. TEST-PINNED build: build/windows-i686/test-pinned/platform_probe.exe"
echo "   (pins the TEST chain of tests/pki/pinned; never ship it) in a demo prefix"
echo "   that trusts the test root and holds a test-signed cloud library at"
echo "   C:\\ProgramData\\KORVEX Corporation\\Stratoplay\\STP32.dll"
cloud=$demo/cloud
prefixes+=("$cloud/win7/prefix")
bash tests/e2e/matrix.sh setup win7 "$cloud" "$build" >&2
wine_env_use "$cloud/win7/prefix"
c=$WINEPREFIX/drive_c
mkdir -p "$c/demo" "$c/ProgramData/KORVEX Corporation/Stratoplay"
cp "$build/test-pinned/platform_probe.exe" "$build/test-pinned/platform_probe_diag.exe" "$c/demo/"
cp "$build/e2e/fixtures/cloud-pinned.dll" "$c/ProgramData/KORVEX Corporation/Stratoplay/STP32.dll"
export STP_FAKE_IN_CLOUD=1
show "$cloud" 'C:\demo'
