#!/usr/bin/env bash
# The end-to-end scenario matrix: the real exe under Wine, with signed fake
# runtime libraries placed where the probe looks for them.
#
#   matrix.sh list                          one "GROUP NAME" line per scenario
#   matrix.sh setup GROUP WORK BUILD        boot the group's private prefix and
#                                           make it a test machine (below)
#   matrix.sh run GROUP NAME WORK BUILD     run one scenario in that prefix
#   matrix.sh facts GROUP WORK BUILD        what Wine itself says about each
#                                           signed fixture (no probe involved)
#   matrix.sh stop GROUP WORK               stop the prefix's Wine processes
#
# GROUP is win7 (a fresh prefix, which reports Windows 7: the loader of the
# trust libraries builds full System32 paths) or win10 (after winecfg -v win10:
# it asks the platform to search System32 only). WORK is a scratch directory
# (one prefix per group below it); BUILD is the windows-i686 build directory, or
# the windows-x86_64 one with WINE_ENV_ARCH=win64 (64-bit prefixes); a width
# this host cannot execute skips every command but list.
#
# A test machine: the roots of tests/pki/e2e/trusted-roots.txt in the machine
# Root store, the intermediate certificates of the pinned chains, of the forged
# zone CAs and of the unlisted CA in the machine CA store, and a root of the
# forged zone CA's name in the user's own Root store. (Wine's chain engine,
# unlike Windows', does not look in the store of the certificate it is given,
# so without them the cloud library's chain would stop at its leaf.)
#
# Exit status: 0 passed, 1 failed, 77 skipped (the build or Wine missing,
# outside CI only).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=../../scripts/wine_env.sh
source "$repo/scripts/wine_env.sh"
# shellcheck source=scenarios.sh
source "$here/scenarios.sh"

# Every DLL the probe maps on a run (WINEDEBUG=+loaddll), apart from what the
# platform maps from its protected copies before main: kernel32, kernelbase,
# msvcrt, and ucrtbase, which Wine's msvcrt pulls in at start-up.
readonly kPlantNames="crypt32 wintrust cryptnet cryptbase bcrypt rsaenh rpcrt4 combase ole32 dbghelp imagehlp shell32 shlwapi shcore user32 gdi32 win32u imm32 advapi32 sechost version zlib1 uxtheme"
# Planted system-DLL names are ignored by Wine unless it is told to prefer
# native copies of them; only then can a planting scenario fail.
readonly kPlantingOverrides="mscoree,mshtml=;winemenubuilder.exe=d;${kPlantNames// /,}=n,b"
readonly kCloudDir='ProgramData/KORVEX Corporation/Stratoplay'
readonly kReportInCloud='{"cloud_platform":"STP"}'
readonly kReportNotInCloud='{}'
# The loopback port that the url-* test certificates name for their issuer, CRL
# and OCSP URLs (scripts/make_e2e_pki.sh).
readonly kUrlPort=39417
# How long the probe may take when it has to fetch nothing: its usual time
# under Wine is a second or two, but a prefix that sat idle can spend ten more
# starting Wine's desktop process at the first signature check. A probe that
# waited on the loopback server, which answers only after its delay, takes
# longer than this bound.
readonly kUsualSeconds=20
readonly kServerDelaySeconds=30
# The probe's deadline (kDeadlineMilliseconds in probe/process_guard.h), and how
# much later than it a run ended by the watchdog may end: Wine's own start and
# end of the process, on a loaded machine.
readonly kDeadlineSeconds=30
readonly kDeadlineSlackSeconds=15
# How much longer than its control a scenario with control= may take: the
# probe's work on a refused file is bounded, so a few seconds at most, however
# many nested signatures the file carries.
readonly kControlSlackSeconds=2

die() {
  echo "matrix: $*" >&2
  exit 1
}

skip_or_fail() {
  echo "matrix: $*" >&2
  if [[ ${CI:-} == true ]]; then
    exit 1
  fi
  echo "matrix: skipped (outside CI)" >&2
  exit 77
}

need_build() {
  local build=$1 f
  for f in platform_probe.exe test-pinned/platform_probe.exe test-pinned/platform_probe_diag.exe \
    platform_probe_diag.exe e2e/bin/e2e_install_certs.exe e2e/bin/e2e_plain_load.exe \
    e2e/bin/platform_probe_traced.exe e2e/bin/test-pinned/platform_probe_traced.exe \
    e2e/bin/e2e_sigcheck.exe e2e/fixtures/manifest.txt; do
    [[ -f $build/$f ]] || skip_or_fail "no $build/$f: build the windows-i686 preset first"
  done
}

use_group() {
  local group=$1
  work=$(mkdir -p "$2" && cd "$2" && pwd)
  case $group in win7 | win10) ;; *) die "unknown group $group" ;; esac
  wine_env_use "$work/$group/prefix"
  drive_c=$WINEPREFIX/drive_c
}

# --- set-up -------------------------------------------------------------------

cmd_setup() {
  local group=$1 work=$2 build=$3
  need_build "$build"
  mkdir -p "$work/$group"
  wine_env_fresh "$work/$group/prefix" || die "cannot boot the $group prefix"
  use_group "$group" "$work"
  if [[ $group == win10 ]]; then
    wine_env_wine winecfg -v win10 >>"$WINEPREFIX/.wine_env.log" 2>&1 </dev/null || die "winecfg -v win10 failed"
  fi

  local certs=$drive_c/e2e-certs
  rm -rf "$certs"
  mkdir -p "$certs"
  cp "$build/e2e/bin/e2e_install_certs.exe" "$certs/"
  local roots=() cas=() rel
  while read -r rel; do
    [[ -n $rel ]] || continue
    cp "$repo/tests/pki/e2e/$rel" "$certs/$(basename "$rel" .pem)-${#roots[@]}.pem"
    roots+=("C:\\e2e-certs\\$(basename "$rel" .pem)-${#roots[@]}.pem")
  done <"$repo/tests/pki/e2e/trusted-roots.txt"
  # The forged zone CAs and the unlisted CA stand where Windows would find
  # them in the signature itself; each is reached only from its own leaf
  # (every certificate names its issuer's key identifier).
  for rel in pinned/zone.pem pinned/l1.pem e2e/wrongkey-zone.pem e2e/wrongkey-l1.pem \
    e2e/forged-zone.pem e2e/forgedu-zone.pem e2e/unlisted-ca.pem; do
    cp "$repo/tests/pki/$rel" "$certs/ca-${rel//\//-}"
    cas+=("C:\\e2e-certs\\ca-${rel//\//-}")
  done
  # A root of the forged zone CA's name that a standard user put in their own
  # root store.
  cp "$repo/tests/pki/e2e/forgedu-root.pem" "$certs/user-forgedu-root.pem"
  wine_env_run "$work/$group/certs.out" "$work/$group/certs.err" -- \
    'C:\e2e-certs\e2e_install_certs.exe' Root "${roots[@]}" CA "${cas[@]}" \
    UserRoot 'C:\e2e-certs\user-forgedu-root.pem' || {
    cat "$work/$group/certs.out" "$work/$group/certs.err" >&2
    die "installing the test certificates failed"
  }
  echo "matrix: $group prefix ready at $WINEPREFIX"
}

cmd_stop() {
  local group=$1 work=$2
  use_group "$group" "$work"
  wine_env_stop
}

# --- one scenario ---------------------------------------------------------------

# place WHAT DEST: put at DEST (a Unix path) what WHAT names
#   -            nothing
#   dir          a directory
#   empty        a zero-length file
#   garbage      bytes that are no PE file
#   <fixture>    a file of BUILD/e2e/fixtures
place() {
  local what=$1 dest=$2
  mkdir -p "$(dirname "$dest")"
  case $what in
    -) ;;
    dir) mkdir -p "$dest" ;;
    empty) : >"$dest" ;;
    garbage) head -c 3000 /dev/zero | tr '\0' 'G' >"$dest" ;;
    *) cp "$build/e2e/fixtures/$what" "$dest" ;;
  esac
}

failures=()
# check WHAT COMMAND...: one line per check; what a failing command printed
# follows its line.
check() {
  local what=$1 said
  shift
  if said=$("$@" 2>&1); then
    echo "  ok   $what"
  else
    echo "  FAIL $what"
    [[ -z $said ]] || printf '%s\n' "$said"
    failures+=("$what")
  fi
}

same_bytes() { cmp -s "$1" "$2"; }

# A planted DLL leaves "<its path as loaded>.loaded"; the loader may have been
# asked for the name in any case (WINTRUST.DLL, crypt32.dll), so the file name
# is matched without regard to case.
marker_found() {
  local dir=$1 name=$2
  [[ -n $(find "$dir" -maxdepth 1 -iname "$name.dll.loaded" -print -quit) ]]
}
marker_absent() { ! marker_found "$@"; }

# The log of the fake libraries against the expected calls ("|" between them).
calls_match() {
  local expected=$1 log=$2 want
  want=$(mktemp)
  if [[ -n $expected ]]; then
    tr '|' '\n' <<<"$expected" >"$want"
  else
    : >"$want"
  fi
  local got=$log
  [[ -f $got ]] || got=/dev/null
  if ! diff -u --label expected --label calls.log "$want" "$got" >"$want.diff"; then
    sed 's/^/       /' "$want.diff"
    rm -f "$want" "$want.diff"
    return 1
  fi
  rm -f "$want" "$want.diff"
}

# start_url_server OUT: the loopback server at the port the url-* certificates
# name, logging to OUT/requests.log; sets url_server_pid.
url_server_pid=''
start_url_server() {
  local out=$1
  rm -f "$out/requests.log" "$out/server.ready"
  # What an earlier fetch left in the prefix's URL cache (even a 404) would be
  # used in place of a new request and hide it: start from an empty cache.
  rm -rf "$drive_c"/users/*/AppData/Local/Microsoft/Windows/INetCache
  python3 "$here/slow_http.py" --port "$kUrlPort" --log "$out/requests.log" \
    --ready-file "$out/server.ready" --delay "$kServerDelaySeconds" --timeout 100 \
    --bind-wait 60 2>"$out/server.err" &
  url_server_pid=$!
  local _
  for _ in $(seq 650); do
    [[ -s $out/server.ready ]] && return 0
    kill -0 "$url_server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$out/server.err" >&2
  return 1
}

no_requests() {
  [[ ! -s $1 ]] || {
    sed 's/^/       request: /' "$1"
    return 1
  }
}

diag_has() {
  local line=$1 out=$2
  grep -qxF -- "$line" <(tr -d '\r' <"$out")
}

diag_lacks() { ! diag_has "$@"; }

# The companion's nested-signer lines, and the traced probe's, in one form:
#   <client|cloud> nested <binding|unreadable> <verdict> [<error>]
# (the error where the companion names one: a gate's refusal, an unreadable
# candidate), each copy's lines in walk order, the client copy's first.
nested_of_diag() {
  tr -d '\r' <"$1" | sed -n -E \
    -e 's/^(client|cloud) library nested signer: accepted$/\1 nested 0 1/p' \
    -e 's/^(client|cloud) library nested signer: refused, signature does not verify$/\1 nested 1 0/p' \
    -e 's/^(client|cloud) library nested signer: refused, does not sign this file$/\1 nested 2 0/p' \
    -e 's/^(client|cloud) library nested signer: refused, chain does not verify$/\1 nested 3 0/p' \
    -e 's/^(client|cloud) library nested signer: refused, could not be checked$/\1 nested 4 0/p' \
    -e 's/^(client|cloud) library nested signer: refused, chain verifies but is not an allowed chain$/\1 nested 5 0/p' \
    -e 's/^(client|cloud) library nested signer: refused (0x[0-9a-f]{8}) .*$/\1 nested 0 0 \2/p' \
    -e 's/^(client|cloud) library nested signer: refused, .*$/\1 nested 0 0 words/p' \
    -e 's/^(client|cloud) library nested signer: unreadable (0x[0-9a-f]{8}) .*$/\1 nested unreadable 0 \2/p' \
    -e 's/^(client|cloud) library nested signer: .*$/\1 nested (a line of no known form)/p'
}
nested_of_trace() {
  tr -d '\r' <"$1" | awk '$2 == "nested" {
    if (($3 == "0" && $4 == "0") || $3 == "unreadable") print $1, $2, $3, $4, $5
    else print $1, $2, $3, $4
  }'
}
by_copy() {
  local lines
  lines=$(cat)
  grep '^client ' <<<"$lines" || true
  grep '^cloud ' <<<"$lines" || true
}
same_nested() {
  diff <(nested_of_diag "$1" | by_copy) <(nested_of_trace "$2" | by_copy) |
    sed 's/^/       companion < > probe: /'
  [[ ${PIPESTATUS[0]} -eq 0 ]]
}

# run_probe WIN_APP CWD OUT: the probe once, the fake libraries told what to
# answer and where to log; its stdout and stderr in OUT and OUT.err.
run_probe() {
  local win_app=$1 cwd=$2 out=$3
  (
    for assignment in $S_ENV; do export "${assignment?}"; done
    export STP_FAKE_LOG="$win_app\\calls.log"
    cd "$cwd"
    wine_env_run "$out" "$out.err" -- "$win_app\\platform_probe.exe"
  )
}

cmd_run() {
  local group=$1 name=$2 work=$3
  build=$4
  need_build "$build"
  use_group "$group" "$work"
  scenario_lookup "$name" || die "no scenario $name"
  [[ " ${S_GROUPS} " == *" $group "* ]] || die "scenario $name does not run in $group"

  local app=$drive_c/e2e/$name win_app="C:\\e2e\\$name"
  # The working directory the probe is started from, apart from its own.
  local cwd=$drive_c/e2e/$name-cwd
  local out=$work/$group/$name
  rm -rf "$app" "$cwd" "$out" "$drive_c/ProgramData/KORVEX Corporation" "$drive_c/ProgramData/KORVEX Real"
  mkdir -p "$app" "$cwd" "$out"
  if [[ $S_EXE == release ]]; then
    cp "$build/platform_probe.exe" "$build/platform_probe_diag.exe" "$app/"
  else
    cp "$build/test-pinned/platform_probe.exe" "$build/test-pinned/platform_probe_diag.exe" "$app/"
  fi
  if [[ -n $S_CLOUDLINK ]]; then
    # The cloud folder is a link to the real folder beside it.
    place "$S_CLOUD" "$drive_c/ProgramData/KORVEX Real/Stratoplay/STP32.dll"
    ln -s "KORVEX Real" "$drive_c/ProgramData/KORVEX Corporation"
  else
    place "$S_CLOUD" "$drive_c/$kCloudDir/STP32.dll"
  fi
  place "$S_CLIENT" "$app/StpRuntimeSdk.dll"
  case $S_HELPER in
    cwd) cp "$build/e2e/bin/stphelper.dll" "$cwd/" ;;
    exe) cp "$build/e2e/bin/stphelper.dll" "$app/" ;;
  esac
  local marker
  if [[ -n $S_PLANT ]]; then
    for marker in $kPlantNames; do
      cp "$build/e2e/plant/$marker.dll" "$app/"
      cp "$build/e2e/plant/$marker.dll" "$cwd/"
    done
    export WINEDLLOVERRIDES=$kPlantingOverrides
  fi

  echo "scenario $name ($group): $S_WHY"
  local server_pid=''
  if [[ -n $S_SERVER ]]; then
    start_url_server "$out" || die "the loopback server did not start"
    server_pid=$url_server_pid
    # A headless prefix left idle for a few seconds (as while the server
    # waited for its port) starts Wine's desktop process again at the next
    # signature check, and that waits 10 s for a service that never comes. A
    # check of a genuine signature just before (nothing in it names a URL)
    # keeps that out of the probe's time.
    mkdir -p "$drive_c/e2e-warm"
    cp "$build/e2e/bin/e2e_sigcheck.exe" "$build/e2e/fixtures/cloud-pinned.dll" "$drive_c/e2e-warm/"
    wine_env_run "$out/warm" "$out/warm.err" -- 'C:\e2e-warm\e2e_sigcheck.exe' \
      'C:\e2e-warm\cloud-pinned.dll' || true
  fi
  local control_ms=''
  if [[ -n $S_CONTROL ]]; then
    # The control in the scenario's place, timed as the scenario is, after a
    # first run that is not timed: neither pays for waking the prefix.
    place "$S_CONTROL" "$drive_c/$kCloudDir/STP32.dll"
    run_probe "$win_app" "$cwd" "$out/control-warm" || true
    local control_started control_status=0
    control_started=$(date +%s%N)
    run_probe "$win_app" "$cwd" "$out/control-stdout" || control_status=$?
    control_ms=$((($(date +%s%N) - control_started) / 1000000))
    check "control $S_CONTROL: exit status 0, {} (${control_ms} ms)" \
      test "$control_status" -eq 0 -a "$(tr -d '\r\n' <"$out/control-stdout")" == "$kReportNotInCloud"
    place "$S_CLOUD" "$drive_c/$kCloudDir/STP32.dll"
    rm -f "$app/calls.log"
  fi
  # The probe, with the fake libraries told what to answer and where to log.
  local status=0 started ended
  started=$(date +%s%N)
  run_probe "$win_app" "$cwd" "$out/stdout" || status=$?
  ended=$(date +%s%N)
  mv "$out/stdout.err" "$out/stderr"
  printf '%s\r\n' "$([[ $S_STDOUT == STP ]] && echo "$kReportInCloud" || echo "$kReportNotInCloud")" \
    >"$out/expected-stdout"
  check "exit status 0 (got $status)" test "$status" -eq 0
  check "stdout is exactly $( [[ $S_STDOUT == STP ]] && echo "$kReportInCloud" || echo "$kReportNotInCloud") CR LF" \
    same_bytes "$out/expected-stdout" "$out/stdout"
  check "nothing on stderr" test ! -s "$out/stderr"
  check "runtime calls" calls_match "$S_CALLS" "$app/calls.log"

  if [[ -n $control_ms ]]; then
    local ms=$(((ended - started) / 1000000))
    check "answered within ${kControlSlackSeconds} s of the control (${ms} ms against ${control_ms} ms)" \
      test "$ms" -le $((control_ms + kControlSlackSeconds * 1000))
  fi

  if [[ -n $S_PLANT ]]; then
    for marker in $kPlantNames; do
      check "planted $marker.dll never loaded" marker_absent "$app" "$marker"
      check "$marker.dll in the working directory never loaded" marker_absent "$cwd" "$marker"
    done
  fi

  if [[ -n $S_DEADLINE ]]; then
    local ms=$(((ended - started) / 1000000))
    check "ended by the watchdog, not before the deadline (${ms} ms, at least ${kDeadlineSeconds} s)" \
      test "$ms" -ge $((kDeadlineSeconds * 1000))
    check "ended within ${kDeadlineSlackSeconds} s of the deadline (${ms} ms)" \
      test "$ms" -le $(((kDeadlineSeconds + kDeadlineSlackSeconds) * 1000))
  else
    # Any answer but the watchdog's comes before the deadline: a run that the
    # watchdog ended after its report (a library holding the exit) fails here.
    local ms=$(((ended - started) / 1000000))
    check "ended before the deadline (${ms} ms)" test "$ms" -lt $((kDeadlineSeconds * 1000))
    # The companion's account of the same machine (the fake libraries keep no
    # log). It has no deadline, so a run that never ends is not given to it.
    (
      for assignment in $S_ENV; do export "${assignment?}"; done
      cd "$cwd"
      wine_env_run "$out/diag" "$out/diag.err" -- "$win_app\\platform_probe_diag.exe"
    ) || true
  fi
  local line
  while IFS= read -r line; do
    [[ -n $line ]] || continue
    check "diag: $line" diag_has "$line" "$out/diag"
  done < <(tr '|' '\n' <<<"$S_DIAG")
  while IFS= read -r line; do
    [[ -n $line ]] || continue
    check "diag, not: $line" diag_lacks "$line" "$out/diag"
  done < <(tr '|' '\n' <<<"$S_NODIAG")

  # The companion tells of the walk the probe made: the same probe, built with
  # a trace of the nested candidates its walk judged, run on the same machine.
  local traced=$build/e2e/bin/test-pinned/platform_probe_traced.exe
  [[ $S_EXE == release ]] && traced=$build/e2e/bin/platform_probe_traced.exe
  cp "$traced" "$app/platform_probe_traced.exe"
  (
    for assignment in $S_ENV; do export "${assignment?}"; done
    cd "$cwd"
    wine_env_run "$out/traced" "$out/traced.err" -- "$win_app\\platform_probe_traced.exe"
  ) || true
  check "the traced probe answers as the probe did" same_bytes "$out/expected-stdout" "$out/traced"
  check "the companion's nested lines are the candidates the walk judged, in order" \
    same_nested "$out/diag" "$out/traced.err"

  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    local ms=$(((ended - started) / 1000000))
    check "no request reached the URLs the certificates name (probe and companion)" \
      no_requests "$out/requests.log"
    check "the probe answered in its usual time (${ms} ms, at most ${kUsualSeconds} s)" \
      test "$ms" -le $((kUsualSeconds * 1000))
  fi

  if [[ -n $S_PLANT ]]; then
    # Control: a plain LoadLibraryW from the same directory does map every
    # planted copy, so the checks above could have failed.
    cp "$build/e2e/bin/e2e_plain_load.exe" "$app/"
    find "$app" -maxdepth 1 -iname '*.loaded' -delete
    local names=()
    for marker in $kPlantNames; do names+=("$marker.dll"); done
    wine_env_run "$out/control" "$out/control.err" -- "$win_app\\e2e_plain_load.exe" \
      "${names[@]}" || true
    for marker in $kPlantNames; do
      check "control: plain LoadLibraryW maps the planted $marker.dll" marker_found "$app" "$marker"
    done
  fi
  if [[ $S_HELPER == cwd ]]; then
    # Control: the standard search order does find the helper in the working
    # directory, so the refusal above is the probe's doing.
    cp "$build/e2e/bin/e2e_plain_load.exe" "$app/"
    (cd "$cwd" && wine_env_run "$out/control" "$out/control.err" -- "$win_app\\e2e_plain_load.exe" \
      "$win_app\\StpRuntimeSdk.dll") || true
    check "control: the standard search finds the helper in the working directory" \
      grep -q "StpRuntimeSdk.dll loaded" "$out/control"
  fi

  if [[ ${#failures[@]} -ne 0 ]]; then
    echo "--- stdout bytes:"
    od -An -c "$out/stdout" | head -5
    echo "--- diagnostic companion:"
    [[ -f $out/diag ]] && tr -d '\r' <"$out/diag"
    echo "--- stderr:"
    head -20 "$out/stderr"
    echo "scenario $name: ${#failures[@]} check(s) failed"
    return 1
  fi
  echo "scenario $name: passed"
}

# --- fixture facts ------------------------------------------------------------

cmd_facts() {
  local group=$1 work=$2
  build=$3
  need_build "$build"
  use_group "$group" "$work"
  local dir=$drive_c/e2e/facts out=$work/$group/facts
  rm -rf "$dir"
  mkdir -p "$dir" "$out"
  cp "$build/e2e/bin/e2e_sigcheck.exe" "$build"/e2e/fixtures/*.dll "$dir/"
  local file files=()
  while read -r file; do files+=("$file"); done < <(fact_files)
  # Run from the fixtures' directory, so that each file is named as listed.
  (cd "$dir" && wine_env_run "$out/sigcheck" "$out/sigcheck.err" -- e2e_sigcheck.exe "${files[@]}") || true
  tr -d '\r' <"$out/sigcheck" >"$out/sigcheck.txt"
  local current='' line
  while IFS= read -r line; do
    [[ $line == file:* ]] && current=${line#file: }
    echo "$current|$line"
  done <"$out/sigcheck.txt" >"$out/facts.txt"
  local fact
  while IFS= read -r fact; do
    check "$fact" grep -qxF -- "$fact" "$out/facts.txt"
  done < <(fact_lines)
  if [[ ${#failures[@]} -ne 0 ]]; then
    cat "$out/sigcheck.txt"
    echo "fixture facts: ${#failures[@]} check(s) failed"
    return 1
  fi
  echo "fixture facts: passed"
}

[[ ${1:-} == list ]] || wine_env_skip_unless_runnable matrix
case ${1:-} in
  list) scenario_list ;;
  setup) cmd_setup "$2" "$3" "$4" ;;
  run) cmd_run "$2" "$3" "$4" "$5" ;;
  facts) cmd_facts "$2" "$3" "$4" ;;
  stop) cmd_stop "$2" "$3" ;;
  *) die "usage: matrix.sh list | setup GROUP WORK BUILD | run GROUP NAME WORK BUILD | facts GROUP WORK BUILD | stop GROUP WORK" ;;
esac
