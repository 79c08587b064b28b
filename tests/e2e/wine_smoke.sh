#!/usr/bin/env bash
# The real exe under Wine, in a fresh private prefix of its width (WINE_ENV_ARCH:
# win32, or win64 for the x86_64 build), on a machine that is not in the cloud:
# nothing beside the exe and no cloud library under C:\ProgramData. The report
# must be exactly the bytes "{}" CR LF and the exit status 0, whatever the
# command line holds.
#
# usage: wine_smoke.sh EXE WORKDIR
# Exit 77 (skipped) when the exe or Wine is missing outside CI (in CI that
# fails), or when this host cannot execute the width.
set -euo pipefail

exe=$1
work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/wine_env.sh
source "$here/../../scripts/wine_env.sh"

missing() {
  echo "wine_smoke: $*" >&2
  if [[ ${CI:-} == true ]]; then
    exit 1
  fi
  echo "wine_smoke: skipped (outside CI); build the windows-i686 preset and install Wine to run it" >&2
  exit 77
}
[[ -f $exe ]] || missing "no exe at $exe"
wine_env_skip_unless_runnable wine_smoke

mkdir -p "$work"
work=$(cd "$work" && pwd)
# A directory of its own: no runtime library beside the exe.
rm -rf "$work/app"
mkdir -p "$work/app"
cp "$exe" "$work/app/platform_probe.exe"

trap wine_env_stop EXIT
wine_env_fresh "$work/prefix"

expected="$work/expected"
printf '{}\r\n' >"$expected"

failures=0
run_case() {
  local name=$1 status=0
  shift
  wine_env_run "$work/out" "$work/err" -- "$work/app/platform_probe.exe" "$@" || status=$?
  if [[ $status -eq 0 ]] && cmp -s "$expected" "$work/out"; then
    echo "ok   $name"
    return 0
  fi
  failures=$((failures + 1))
  echo "FAIL $name: exit status $status (want 0); stdout bytes (want {} CR LF):"
  od -An -c "$work/out"
  echo "stderr:"
  cat "$work/err"
}

run_case "no arguments"
run_case "one argument" --cloud
run_case "several arguments, spaces and quotes" "a b" '"{\"cloud_platform\":\"STP\"}"' /? -
run_case "non-ASCII argument" "Überprüfung 検査"
run_case "empty argument" ""

if [[ $failures -ne 0 ]]; then
  echo "wine_smoke: $failures case(s) failed"
  exit 1
fi
