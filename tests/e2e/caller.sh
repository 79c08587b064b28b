#!/usr/bin/env bash
# The callers of the probe, each asking the probes of one table of rows, and
# each row says what every caller must return:
#   cpp    caller_driver.exe (a launcher in miniature) under Wine, through
#          QueryCloudPlatform; case names are the rows' names
#   c      the same driver through the C entry point (rows with c=yes); c.ROW
#   cs     examples/ProbeCaller.cs compiled with Mono's mcs, run with mono; cs.ROW
#   node   examples/probe_caller.js run with node; node.ROW
# cs and node run on this host, as launchers do on Windows, and ask the probe
# through a script named platform_probe.exe that executes it with Wine's loader
# (a Unix program that is the Wine process). Two things differ from Windows
# there, and the checks follow them: the exit status of a Wine process is the
# low byte of its exit code (a crash's 0xC0000005 is 5, an exit code as
# another), and a path refusal or a failed start gives no Windows code.
#
#   caller.sh list [ARCH]            one case name a line (cs and node with
#                                    win64 only: they do not depend on the width)
#   caller.sh setup WORK BUILD       a prefix set up like the demo's: test roots
#                                    trusted, no cloud library yet; the C#
#                                    example compiled
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
#   kind=     the failure kind (probe_caller.h's names, dashed); default none
#   reason=   text the reason must hold
#   detail=   the detail, when it matters (0x........)
#   c=        yes: the C entry point asks this row too
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
BAD=(answer=failed kind=not-a-report "reason=not a report line")
REFUSED=(answer=failed kind=path-refused)

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
case_row report.in_cloud_crlf "out=$STP\\r\\n" "${IN[@]}" c=yes
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
case_row report.silent answer=failed kind=not-a-report "reason=wrote nothing"
case_row report.exit_code_1 'out={}\r\n' exit=1 answer=failed kind=exit-code "reason=code other than 0" \
  detail=0x00000001 c=yes
# The crash row keeps a long limit, though the set-up turns Wine's crash
# debugger off: a fault can still take a second or two to end under load.
case_row fault.crash mode=crash timeout=30000 answer=failed kind=crashed reason=crashed detail=0xc0000005
case_row fault.hang mode=hang timeout=1500 answer=failed kind=timed-out "reason=did not exit in time" \
  detail=0x000005dc c=yes
case_row fault.hang_after_report mode=hang 'out={}\r\n' timeout=1000 answer=failed kind=timed-out \
  "reason=did not exit in time"
# A limit of 0 gives the probe no time at all.
case_row fault.zero_limit 'out={}\r\n' timeout=0 answer=failed kind=timed-out "reason=did not exit in time"
case_row fault.flood_1mib mode=flood answer=failed kind=wrote-too-much "reason=wrote too much"
# The probe reports and exits, but a process it started holds the pipe for
# 20 s more: the answer comes at the probe's exit, not at the pipe's end.
case_row fault.orphan_holds_pipe mode=orphan 'out={}\r\n' "${NOT[@]}"
# Standard input at its end at once, and the launcher's inheritable pipe not
# inherited (the fake probe reports {} only then).
case_row handles.only_ours mode=inspect "${NOT[@]}"
# Paths that the search path or a current directory would complete, or that
# are no .exe, are refused before anything starts.
case_row path.relative path=platform_probe.exe "${REFUSED[@]}" "reason=not absolute"
case_row path.dot_relative 'path=.\platform_probe.exe' "${REFUSED[@]}" "reason=not absolute"
case_row path.drive_relative path=C:platform_probe.exe "${REFUSED[@]}" "reason=not absolute"
case_row path.rooted_on_current_drive 'path=\caller\platform_probe.exe' "${REFUSED[@]}" "reason=not absolute"
case_row path.not_an_exe 'path=C:\caller\probe.cmd' "${REFUSED[@]}" "reason=does not name an .exe"
case_row path.missing 'path=C:\caller\absent.exe' answer=failed kind=could-not-start "reason=cannot start" \
  detail=0x00000002 c=yes

die() { echo "caller: $*" >&2; exit 1; }
skip_or_fail() {
  echo "caller: $*" >&2
  [[ ${CI:-} == true ]] && exit 1
  echo "caller: skipped (outside CI)" >&2
  exit 77
}

cmd_list() {
  local name caller callers=(cpp c)
  [[ ${1:-} == win64 ]] && callers+=(cs node)
  for caller in "${callers[@]}"; do
    for name in "${CASE_NAMES[@]}"; do
      case $caller in
        cpp) echo "$name" ;;
        c) if [[ ${CASE_DEF[$name]} == *'c=yes'* ]]; then echo "c.$name"; fi ;;
        *) echo "$caller.$name" ;;
      esac
    done
  done
}

cmd_run() {
  local name=$1 work=$2 build=$3 kv caller=cpp row=$1
  # ROW (cpp), c.ROW, cs.ROW or node.ROW
  [[ $name =~ ^(c|cs|node)\.(.*)$ ]] && caller=${BASH_REMATCH[1]} row=${BASH_REMATCH[2]}
  [[ -n ${CASE_DEF[$row]+set} ]] || die "no case $name"
  local probe=fake path='' mode='' out='' exit='' cloud='' unicode='' timeout=5000
  local answer='' kind=none reason='' detail='' c=''
  local -a args
  eval "args=(${CASE_DEF[$row]})"
  for kv in "${args[@]}"; do
    case ${kv%%=*} in
      probe | path | mode | out | exit | cloud | unicode | timeout | answer | kind | reason | detail | c)
        printf -v "${kv%%=*}" '%s' "${kv#*=}" ;;
      *) die "$name: unknown key in $kv" ;;
    esac
  done
  for f in e2e/bin/caller_driver.exe e2e/bin/fake_probe.exe platform_probe.exe test-pinned/platform_probe.exe; do
    [[ -f $build/$f ]] || skip_or_fail "no $build/$f: build the windows-i686 preset first"
  done
  [[ -f $work/win7/prefix/.wine_env.booted ]] || skip_or_fail "no prefix: run the setup first"
  case $caller in
    cs) [[ -f $work/ProbeCaller.exe ]] && command -v mono >/dev/null ||
      skip_or_fail "no mono or no $work/ProbeCaller.exe (mcs): run scripts/setup.sh and the setup" ;;
    node) command -v node >/dev/null || skip_or_fail "no node: run scripts/setup.sh" ;;
  esac
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
  local status=0 unix_probe
  if [[ $caller == cpp || $caller == c ]]; then
    [[ $caller == c ]] && flags+=(--c-entry)
    [[ $unicode == yes ]] && flags+=(--unicode-dir)
    [[ $mode == hang || $mode == flood ]] && flags+=(--pid-file "$win\\pid")
  else
    # What a launcher on this host starts: a script that becomes the Wine
    # process of the probe, in a directory with spaces and non-ASCII
    # characters when the row asks for one.
    unix_probe=$dir/unix
    [[ $unicode == yes ]] && unix_probe="$dir/Spiel Ordner ü 検査 ☁"
    mkdir -p "$unix_probe"
    unix_probe=$unix_probe/platform_probe.exe
    printf '#!/bin/sh\necho $$ >"%s/unix.pid"\nexec "%s" '\''%s\\platform_probe.exe'\''\n' \
      "$dir" "$WINELOADER" "$win" >"$unix_probe"
    chmod +x "$unix_probe"
    [[ $path == 'C:\caller\'* ]] && path=$drive_c/caller/${path#'C:\caller\'}
  fi
  (
    export FAKE_PROBE_MODE=$mode FAKE_PROBE_OUTPUT=$out FAKE_PROBE_EXIT=$exit
    export FAKE_PROBE_PID_FILE="$win\\pid" STP_FAKE_INITIALIZE2=0 STP_FAKE_IN_CLOUD=1
    case $caller in
      cpp | c)
        wine_env_run "$dir/said" "$dir/err" -- "$win\\caller_driver.exe" "${flags[@]}" \
          "${path:-$win\\platform_probe.exe}" "$timeout" ;;
      cs) timeout 60 mono "$work/ProbeCaller.exe" "${path:-$unix_probe}" "$timeout" >"$dir/said" 2>"$dir/err" ;;
      node) timeout 60 node "$repo/examples/probe_caller.js" "${path:-$unix_probe}" "$timeout" >"$dir/said" 2>"$dir/err" ;;
    esac
  ) || status=$?
  local said
  said=$(tr -d '\r' <"$dir/said")
  echo "case $name:"
  sed 's/^/  /' <<<"$said"
  local failures=0 elapsed said_detail
  fail() { echo "  FAIL $*"; failures=$((failures + 1)); }
  if [[ $caller == cs || $caller == node ]]; then
    # Seen from this host, a Wine process's exit status is the low byte of
    # its exit code; an exception status is then one exit code more.
    if [[ $kind == crashed ]]; then
      kind=exit-code reason="code other than 0" detail=$(printf '0x%08x' $((detail & 0xff)))
    fi
    # Refusals and failed starts carry no Windows code here.
    [[ $kind == path-refused || $kind == could-not-start ]] && detail=''
    said_detail=$(sed -n 's/^detail: //p' <<<"$said")
    [[ $said_detail =~ ^[0-9]+$ ]] && said=$(sed "s/^detail: .*/detail: $(printf '0x%08x' "$said_detail")/" <<<"$said")
  fi
  [[ $status -eq 0 ]] || fail "the caller exited with $status: $(head -c 300 "$dir/err")"
  grep -qx "answer: $answer" <<<"$said" || fail "answer is not $answer"
  grep -qx "kind: $kind" <<<"$said" || fail "kind is not $kind"
  grep -q "^reason: .*$reason" <<<"$said" || fail "reason does not say '$reason'"
  [[ -z $detail ]] || grep -qx "detail: $detail" <<<"$said" || fail "detail is not $detail"
  elapsed=$(sed -n 's/^elapsed_ms: //p' <<<"$said")
  [[ -n $elapsed && $elapsed -le $((timeout + 500)) ]] || fail "took ${elapsed:-?} ms, more than $timeout + 500"
  if [[ $mode == hang || $mode == flood ]]; then
    if [[ $caller == cpp || $caller == c ]]; then
      grep -qx 'probe process: gone' <<<"$said" || fail "the fake probe's process is not gone"
    elif ! [[ -s $dir/unix.pid ]] || kill -0 "$(cat "$dir/unix.pid")" 2>/dev/null; then
      fail "the fake probe's process is not gone"
    fi
  fi
  [[ $failures -eq 0 ]] || exit 1
  echo "case $name: passed"
}

[[ ${1:-} == list ]] || wine_env_skip_unless_runnable caller
case ${1:-} in
  list) cmd_list "${2:-}" ;;
  setup)
    for f in e2e/bin/caller_driver.exe e2e/bin/fake_probe.exe; do
      [[ -f $3/$f ]] || skip_or_fail "no $3/$f: build the windows-i686 preset first"
    done
    bash "$here/matrix.sh" setup win7 "$2" "$3"
    # The C# example, as a launcher's build would compile it.
    if command -v mcs >/dev/null; then
      mcs -nologo -warnaserror -out:"$2/ProbeCaller.exe" "$repo/examples/ProbeCaller.cs" ||
        die "the C# example does not compile"
    fi
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
  *) die "usage: caller.sh list [ARCH] | setup WORK BUILD | run NAME WORK BUILD | stop WORK" ;;
esac
