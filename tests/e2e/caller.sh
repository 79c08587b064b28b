#!/usr/bin/env bash
# The caller library under Wine: caller_driver.exe (a launcher in miniature)
# asks a probe through QueryCloudPlatform, and each row below says what the
# call must return.
#
#   caller.sh list                   one case name a line
#   caller.sh setup WORK BUILD       a prefix set up like the demo's: test roots
#                                    trusted, no cloud library yet
#   caller.sh run NAME WORK BUILD    one case
#   caller.sh stop WORK              stop the prefix's Wine processes
#
# WINE_ENV_ARCH=win64 runs the cases in a 64-bit prefix against the
# windows-x86_64 build.
# Exit status: 0 passed, 1 failed, 77 skipped (no build or Wine, outside CI;
# or a width this host cannot execute).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=../../scripts/wine_env.sh
source "$repo/scripts/wine_env.sh"

# case NAME key=value...
#   probe=    release | test (the test-pinned build) | fake (fake_probe.exe,
#             which does what mode=, out= and exit= say) (default fake)
#   path=     ask this path instead of the probe's (the probe is not copied)
#   mode= out= exit=   FAKE_PROBE_MODE, FAKE_PROBE_OUTPUT, FAKE_PROBE_EXIT
#   cloud=    a signed fixture placed as the cloud library for this case
#   unicode=  yes: ask a copy in a directory named with spaces and non-ASCII
#   timeout=  milliseconds (default 5000); every call must return within it
#             plus 500 ms
#   answer=   in-cloud | not-in-cloud | failed
#   reason=   text the reason must hold
#   detail=   the detail, when it matters (0x........)
# hang and flood cases also check that the fake probe's process is gone.
STP='{"cloud_platform":"STP"}'
declare -A CASE_DEF=()
CASE_NAMES=()
case_row() {
  CASE_NAMES+=("$1")
  CASE_DEF[$1]=$(printf '%q ' "${@:2}")
}
NOT=(answer=not-in-cloud "reason=reported no cloud")
IN=(answer=in-cloud "reason=reported the Stratoplay cloud")
BAD=(answer=failed "reason=not a report line")

# The real probe: a player's machine, a test-signed cloud library that only the
# test-pinned build accepts, and the release build in a directory whose name is
# not ASCII. These ask about the answer, not the time: a prefix left idle makes
# Wine start its desktop process at the first signature check, which alone can
# take ten seconds, so they allow thirty.
case_row real.release_plain probe=release timeout=30000 "${NOT[@]}"
case_row real.release_refuses_test_cloud probe=release timeout=30000 cloud=cloud-pinned.dll "${NOT[@]}"
case_row real.test_pinned_in_cloud probe=test timeout=30000 cloud=cloud-pinned.dll "${IN[@]}"
case_row real.release_unicode_dir probe=release timeout=30000 unicode=yes "${NOT[@]}"
# The two reports, with either line end, and nothing else.
case_row report.in_cloud_crlf "out=$STP\\r\\n" "${IN[@]}"
case_row report.in_cloud_lf "out=$STP\\n" "${IN[@]}"
case_row report.not_in_cloud_crlf 'out={}\r\n' "${NOT[@]}"
case_row report.not_in_cloud_lf 'out={}\n' "${NOT[@]}"
case_row report.in_cloud_unicode_dir unicode=yes "out=$STP\\r\\n" "${IN[@]}"
case_row report.no_line_end 'out={}' "${BAD[@]}" detail=0x00000002
case_row report.cr_only 'out={}\r' "${BAD[@]}"
case_row report.lf_cr 'out={}\n\r' "${BAD[@]}"
case_row report.two_lines 'out={}\r\n{}\r\n' "${BAD[@]}"
case_row report.trailing_space 'out={} \r\n' "${BAD[@]}"
case_row report.leading_bom 'out=\xef\xbb\xbf{}\r\n' "${BAD[@]}"
case_row report.nul_inside 'out={}\x00\r\n' "${BAD[@]}"
case_row report.spaced_json 'out={"cloud_platform": "STP"}\r\n' "${BAD[@]}"
case_row report.other_platform 'out={"cloud_platform":"stp"}\r\n' "${BAD[@]}"
case_row report.garbage 'out=garbage\r\n' "${BAD[@]}"
case_row report.silent answer=failed "reason=wrote nothing"
case_row report.exit_code_1 'out={}\r\n' exit=1 answer=failed "reason=code other than 0" detail=0x00000001
# The crash row keeps a long limit, though the set-up turns Wine's crash
# debugger off: a fault can still take a second or two to end under load.
case_row fault.crash mode=crash timeout=30000 answer=failed "reason=code other than 0" detail=0xc0000005
case_row fault.hang mode=hang timeout=1500 answer=failed "reason=did not exit in time"
case_row fault.hang_after_report mode=hang 'out={}\r\n' timeout=1000 answer=failed "reason=did not exit in time"
case_row fault.flood_1mib mode=flood answer=failed "reason=wrote too much"
# Standard input at its end at once, and the launcher's inheritable pipe not
# inherited (the fake probe reports {} only then).
case_row handles.only_ours mode=inspect "${NOT[@]}"
# Paths that the search path or a current directory would complete, or that
# are no .exe, are refused before anything starts.
case_row path.relative path=platform_probe.exe answer=failed "reason=not absolute"
case_row path.dot_relative 'path=.\platform_probe.exe' answer=failed "reason=not absolute"
case_row path.drive_relative path=C:platform_probe.exe answer=failed "reason=not absolute"
case_row path.rooted_on_current_drive 'path=\caller\platform_probe.exe' answer=failed "reason=not absolute"
case_row path.not_an_exe 'path=C:\caller\probe.cmd' answer=failed "reason=does not name an .exe"
case_row path.missing 'path=C:\caller\absent.exe' answer=failed "reason=cannot start" detail=0x00000002

die() { echo "caller: $*" >&2; exit 1; }
skip_or_fail() {
  echo "caller: $*" >&2
  [[ ${CI:-} == true ]] && exit 1
  echo "caller: skipped (outside CI)" >&2
  exit 77
}

cmd_run() {
  local name=$1 work=$2 build=$3 kv
  [[ -n ${CASE_DEF[$name]+set} ]] || die "no case $name"
  local probe=fake path='' mode='' out='' exit='' cloud='' unicode='' timeout=5000
  local answer='' reason='' detail=''
  local -a args
  eval "args=(${CASE_DEF[$name]})"
  for kv in "${args[@]}"; do
    case ${kv%%=*} in
      probe | path | mode | out | exit | cloud | unicode | timeout | answer | reason | detail)
        printf -v "${kv%%=*}" '%s' "${kv#*=}" ;;
      *) die "$name: unknown key in $kv" ;;
    esac
  done
  for f in e2e/bin/caller_driver.exe e2e/bin/fake_probe.exe platform_probe.exe test-pinned/platform_probe.exe; do
    [[ -f $build/$f ]] || skip_or_fail "no $build/$f: build the windows-i686 preset first"
  done
  [[ -f $work/win7/prefix/.wine_env.booted ]] || skip_or_fail "no prefix: run the setup first"
  wine_env_use "$work/win7/prefix"
  local drive_c=$WINEPREFIX/drive_c dir=$WINEPREFIX/drive_c/caller/$name win="C:\\caller\\$name"
  rm -rf "$dir" "$drive_c/ProgramData/KORVEX Corporation"
  mkdir -p "$dir"
  cp "$build/e2e/bin/caller_driver.exe" "$dir/"
  case $probe in
    release) cp "$build/platform_probe.exe" "$dir/" ;;
    test) cp "$build/test-pinned/platform_probe.exe" "$dir/" ;;
    fake) cp "$build/e2e/bin/fake_probe.exe" "$dir/platform_probe.exe" ;;
    *) die "$name: unknown probe $probe" ;;
  esac
  if [[ -n $cloud ]]; then
    mkdir -p "$drive_c/ProgramData/KORVEX Corporation/Stratoplay"
    cp "$build/e2e/fixtures/$cloud" "$drive_c/ProgramData/KORVEX Corporation/Stratoplay/STP32.dll"
  fi
  local -a flags=()
  [[ $unicode == yes ]] && flags+=(--unicode-dir)
  [[ $mode == hang || $mode == flood ]] && flags+=(--pid-file "$win\\pid")
  local status=0
  (
    export FAKE_PROBE_MODE=$mode FAKE_PROBE_OUTPUT=$out FAKE_PROBE_EXIT=$exit
    export FAKE_PROBE_PID_FILE="$win\\pid" STP_FAKE_INITIALIZE2=0 STP_FAKE_IN_CLOUD=1
    wine_env_run "$dir/said" "$dir/err" -- "$win\\caller_driver.exe" "${flags[@]}" \
      "${path:-$win\\platform_probe.exe}" "$timeout"
  ) || status=$?
  local said
  said=$(tr -d '\r' <"$dir/said")
  echo "case $name:"
  sed 's/^/  /' <<<"$said"
  local failures=0 elapsed
  fail() { echo "  FAIL $*"; failures=$((failures + 1)); }
  [[ $status -eq 0 ]] || fail "the driver exited with $status: $(head -c 300 "$dir/err")"
  grep -qx "answer: $answer" <<<"$said" || fail "answer is not $answer"
  grep -q "^reason: .*$reason" <<<"$said" || fail "reason does not say '$reason'"
  [[ -z $detail ]] || grep -qx "detail: $detail" <<<"$said" || fail "detail is not $detail"
  elapsed=$(sed -n 's/^elapsed_ms: //p' <<<"$said")
  [[ -n $elapsed && $elapsed -le $((timeout + 500)) ]] || fail "took ${elapsed:-?} ms, more than $timeout + 500"
  if [[ $mode == hang || $mode == flood ]]; then
    grep -qx 'probe process: gone' <<<"$said" || fail "the fake probe's process is not gone"
  fi
  [[ $failures -eq 0 ]] || exit 1
  echo "case $name: passed"
}

[[ ${1:-} == list ]] || wine_env_skip_unless_runnable caller
case ${1:-} in
  list) printf '%s\n' "${CASE_NAMES[@]}" ;;
  setup)
    for f in e2e/bin/caller_driver.exe e2e/bin/fake_probe.exe; do
      [[ -f $3/$f ]] || skip_or_fail "no $3/$f: build the windows-i686 preset first"
    done
    bash "$here/matrix.sh" setup win7 "$2" "$3"
    # Wine starts its debugger for a crash, and the debugger writes its
    # backtrace into the crashed program's standard output, which it inherits
    # (under 64-bit Wine more than 4 KiB, past the caller's limit); Windows'
    # error reporting writes nothing there. Wine falls back to its debugger
    # when none is named, so a debugger that does nothing is named instead: a
    # crash then ends the process with the exception's code, as on Windows.
    wine_env_use "$2/win7/prefix"
    wine_env_run "$2/win7/aedebug.out" "$2/win7/aedebug.err" -- reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
      /d 'cmd.exe /c rem %ld %ld' /f ||
      die "cannot quiet Wine's crash debugger: $(cat "$2/win7/aedebug.err")"
    ;;
  run) cmd_run "$2" "$3" "$4" ;;
  stop) bash "$here/matrix.sh" stop win7 "$2" ;;
  *) die "usage: caller.sh list | setup WORK BUILD | run NAME WORK BUILD | stop WORK" ;;
esac
