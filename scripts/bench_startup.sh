#!/usr/bin/env bash
# Start-up time of platform_probe.exe under Wine, measured side by side with the
# floor of what the platform must do anyway. Prints figures; it is a
# measurement, not a timed test, and exits 0 whatever the ratios are. It exits
# non-zero only when a run did not do the job it is timed for (wrong report,
# client library not accepted, floor's trust check failed), because then the
# figures would mean nothing; 77 when an input is missing (not built yet).
#
# Two pairs, each run interleaved A B A B ... in one warm prefix with a
# persistent wineserver:
#   (a) empty exe                         vs  release probe, no runtime library
#   (b) trust floor on the client library vs  test-pinned probe that verifies,
#       (crypt32 + wintrust from the          accepts, maps and initialises the
#       system directory, one                 same signed client library
#       CryptQueryObject, one WinVerifyTrust)
# For each: the median of each side, the ratio of the medians and the median of
# the pairwise ratios (probe / floor), with the machine's load before and after.
#
# usage: bench_startup.sh [--pairs N] [--windows-build DIR] [--work DIR]
#                         [--client-dll FILE] [--diagnose]
#   --pairs N           pairs per comparison (default 30, at least 30)
#   --windows-build DIR the windows-i686 build (default build/windows-i686):
#                       platform_probe.exe, test-pinned/platform_probe.exe,
#                       bench/bench_empty.exe, bench/bench_trust_floor.exe,
#                       bench/bench_shell_floor.exe, e2e/bin/e2e_install_certs.exe
#   --work DIR          the prefix and the run files (default build/bench-startup)
#   --client-dll FILE   the signed client library (default
#                       DIR/e2e/fixtures/client-c4-rfc3161.dll)
#   --diagnose          also (c) empty exe vs shell floor (an exe that makes only
#                       the two shell calls of every start, SHGetSpecialFolderPathW
#                       and PathFileExistsW), (d) shell floor vs release probe with
#                       no runtime library, and the DLLs each program loads
#                       (WINEDEBUG=+loaddll), to show where the time goes
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pairs=30
win_build=$repo/build/windows-i686
work=$repo/build/bench-startup
client_dll=
diagnose=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --pairs) pairs=$2; shift 2 ;;
    --windows-build) win_build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --client-dll) client_dll=$2; shift 2 ;;
    --diagnose) diagnose=1; shift ;;
    *) echo "bench_startup: unknown argument $1" >&2; exit 2 ;;
  esac
done
if ! [[ $pairs =~ ^[0-9]+$ ]] || ((pairs < 30)); then
  echo "bench_startup: --pairs must be a number of at least 30" >&2
  exit 2
fi
win_build=$(cd "$win_build" 2>/dev/null && pwd) || {
  echo "bench_startup: no Windows build at the given directory; build the windows-i686 preset" >&2
  exit 77
}
client_dll=${client_dll:-$win_build/e2e/fixtures/client-c4-rfc3161.dll}

release_probe=$win_build/platform_probe.exe
test_probe=$win_build/test-pinned/platform_probe.exe
empty_exe=$win_build/bench/bench_empty.exe
trust_floor=$win_build/bench/bench_trust_floor.exe
shell_floor=$win_build/bench/bench_shell_floor.exe
install_certs=$win_build/e2e/bin/e2e_install_certs.exe
roots_list=$repo/tests/pki/e2e/trusted-roots.txt
for input in "$release_probe" "$test_probe" "$empty_exe" "$trust_floor" "$shell_floor" \
    "$install_certs" "$client_dll" "$roots_list"; do
  if [[ ! -f $input ]]; then
    echo "bench_startup: missing $input (build the windows-i686 preset with its fixtures)" >&2
    exit 77
  fi
done
for tool in awk sort; do
  command -v "$tool" >/dev/null || { echo "bench_startup: $tool is needed" >&2; exit 77; }
done

# shellcheck source=scripts/wine_env.sh
source "$repo/scripts/wine_env.sh"
# The measured exe is the shipped 32-bit one: only 32-bit Wine measures it. On
# a host without 32-bit execution, BENCH_WINE_ARCH=win64 with --windows-build
# naming the x86_64 build measures the test vehicle instead (say so with the
# figures).
export WINE_ENV_ARCH=${BENCH_WINE_ARCH:-win32}
wine_env_skip_unless_runnable bench_startup
mkdir -p "$work"
work=$(cd "$work" && pwd)
trap wine_env_stop EXIT
wine_env_boot "$work/prefix" >&2

# The layout inside the prefix. C:\bench\none has no runtime library beside the
# probe, and nothing is ever placed under the common application-data folder, so
# the cloud copy is absent in both pairs.
drive_c=$WINEPREFIX/drive_c
rm -rf "$drive_c/bench"
mkdir -p "$drive_c/bench/none" "$drive_c/bench/client"
cp "$release_probe" "$empty_exe" "$shell_floor" "$drive_c/bench/none/"
cp "$test_probe" "$trust_floor" "$drive_c/bench/client/"
cp "$client_dll" "$drive_c/bench/client/StpRuntimeSdk.dll"
if [[ -e "$drive_c/ProgramData/KORVEX Corporation/Stratoplay/STP32.dll" ]]; then
  echo "bench_startup: a cloud library is present in the prefix; refusing to measure" >&2
  exit 1
fi
# The roots the test signers chain to, trusted by the machine (once per prefix).
if [[ ! -f $work/prefix/.bench_roots ]]; then
  roots=()
  while IFS= read -r root; do
    # Wine's Z: is the host's root (winepath itself may start a loader this
    # host cannot execute).
    if [[ -n $root ]]; then
      root=$(realpath "$repo/tests/pki/e2e/$root")
      roots+=("Z:${root//\//\\}")
    fi
  done <"$roots_list"
  if ! wine_env_run "$work/install.out" "$work/install.err" -- \
      "$install_certs" Root "${roots[@]}"; then
    cat "$work/install.out" "$work/install.err" >&2
    echo "bench_startup: trusting the test roots failed" >&2
    exit 1
  fi
  : >"$work/prefix/.bench_roots"
fi

PROBE_NONE='C:\bench\none\platform_probe.exe'
EMPTY='C:\bench\none\bench_empty.exe'
SHELL_FLOOR='C:\bench\none\bench_shell_floor.exe'
PROBE_CLIENT='C:\bench\client\platform_probe.exe'
TRUST_FLOOR='C:\bench\client\bench_trust_floor.exe'
# The fake client library appends one line per event to this file: proof that
# each timed probe run mapped and initialised it (the report is {} either way).
fake_log_dos='C:\bench\client\calls.log'
fake_log=$drive_c/bench/client/calls.log
export STP_FAKE_LOG=$fake_log_dos

# The exact standard output bytes each program must write (text mode: CR LF).
printf '{}\r\n' >"$work/expect-report"
: >"$work/expect-nothing"
printf 'query 0x00000000 trust 0x00000000\r\n' >"$work/expect-trust"

# run_once PROGRAM EXPECTED_FILE: one run; its wall time in microseconds goes to
# $elapsed_us. The exit status and the output bytes are checked after the clock
# stops.
run_once() {
  local program=$1 expected=$2 start end status=0
  start=${EPOCHREALTIME/./}
  timeout --kill-after=10 60 "$WINELOADER" "$program" >"$work/out" 2>"$work/err" </dev/null || status=$?
  end=${EPOCHREALTIME/./}
  elapsed_us=$((end - start))
  if [[ $status -ne 0 ]] || ! cmp -s "$work/out" "$expected"; then
    echo "bench_startup: $program: exit $status, output:" >&2
    od -c "$work/out" | head -n 5 >&2
    cat "$work/err" >&2
    exit 1
  fi
}

client_initialised_count() {
  [[ -f $fake_log ]] || { echo 0; return; }
  grep -c '^client stpInitializeRuntimeSdk(0)$' "$fake_log" || true
}

median() {  # numbers on stdin, one a line
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# compare LABEL FLOOR_NAME FLOOR FLOOR_EXPECTED PROBE_NAME PROBE PROBE_EXPECTED
compare() {
  local label=$1 floor_name=$2 floor=$3 floor_expected=$4
  local probe_name=$5 probe=$6 probe_expected=$7
  local i floor_us probe_us before after inits_before inits_after
  local times=$work/times-${label//[^a-z]/}.txt
  # Warm-up: the first runs of a program fill Wine's caches.
  for i in 1 2 3; do
    run_once "$floor" "$floor_expected"
    run_once "$probe" "$probe_expected"
  done
  : >"$times"
  inits_before=$(client_initialised_count)
  before=$(loadavg)
  for ((i = 0; i < pairs; i++)); do
    run_once "$floor" "$floor_expected"
    floor_us=$elapsed_us
    run_once "$probe" "$probe_expected"
    probe_us=$elapsed_us
    echo "$floor_us $probe_us" >>"$times"
  done
  after=$(loadavg)
  inits_after=$(client_initialised_count)

  # A timed probe run that did not initialise the library measured something
  # else: no figures then.
  if [[ $probe == "$PROBE_CLIENT" ]] && ((inits_after - inits_before != pairs)); then
    echo "bench_startup: the probe initialised the client library in only" \
      "$((inits_after - inits_before)) of $pairs timed runs; no figures" >&2
    exit 1
  fi

  local floor_med probe_med ratio_med med_of_ratios floor_min probe_min
  floor_med=$(awk '{ print $1 / 1000 }' "$times" | median)
  probe_med=$(awk '{ print $2 / 1000 }' "$times" | median)
  floor_min=$(awk '{ print $1 / 1000 }' "$times" | sort -g | head -n1)
  probe_min=$(awk '{ print $2 / 1000 }' "$times" | sort -g | head -n1)
  med_of_ratios=$(awk '{ print $2 / $1 }' "$times" | median)
  ratio_med=$(awk -v p="$probe_med" -v f="$floor_med" 'BEGIN { printf "%.3f", p / f }')
  echo
  echo "($label) $probe_name vs $floor_name, $pairs interleaved pairs"
  echo "  load average before: $before   after: $after"
  printf '  %-36s median %8.1f ms   min %8.1f ms\n' "$floor_name" "$floor_med" "$floor_min"
  printf '  %-36s median %8.1f ms   min %8.1f ms\n' "$probe_name" "$probe_med" "$probe_min"
  printf '  ratio of the medians %.3f   median of the pairwise ratios %.3f' \
    "$ratio_med" "$med_of_ratios"
  # The goal belongs to the two comparisons of record, not to the diagnosis.
  if [[ $label == a || $label == b ]]; then
    printf '   (goal <= 1.3: %s)' \
      "$(awk -v r="$med_of_ratios" 'BEGIN { print (r <= 1.3 ? "within" : "missed") }')"
  fi
  printf '\n'
  if [[ $probe == "$PROBE_CLIENT" ]]; then
    echo "  client library initialised in all $pairs timed probe runs"
  fi
  echo "  raw times (us, floor probe): $times"
}

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
echo "machine: $(nproc) cores, $cpu_model," \
  "$(wine_env_wine --version), load average $(loadavg)"
echo "release probe: $release_probe ($(stat -c %s "$release_probe") bytes)"
echo "client library: $client_dll"

rm -f "$fake_log"
compare "a" "empty exe" "$EMPTY" "$work/expect-nothing" \
  "release probe, no runtime library" "$PROBE_NONE" "$work/expect-report"
compare "b" "trust floor" "$TRUST_FLOOR" "$work/expect-trust" \
  "probe verifying the client library" "$PROBE_CLIENT" "$work/expect-report"

if ((diagnose)); then
  # Where (a) goes: the shell calls alone against the empty exe, then the
  # probe against the shell calls alone.
  compare "c" "empty exe" "$EMPTY" "$work/expect-nothing" \
    "shell floor" "$SHELL_FLOOR" "$work/expect-report"
  compare "d" "shell floor" "$SHELL_FLOOR" "$work/expect-report" \
    "release probe, no runtime library" "$PROBE_NONE" "$work/expect-report"
  echo
  echo "DLLs each program loads (WINEDEBUG=+loaddll; native and built-in):"
  for program in "$EMPTY" "$SHELL_FLOOR" "$PROBE_NONE" "$TRUST_FLOOR" "$PROBE_CLIENT"; do
    WINEDEBUG=+loaddll timeout --kill-after=10 60 "$WINELOADER" "$program" >/dev/null \
      2>"$work/loaddll.txt" </dev/null || true
    dlls=$(sed -n 's/.*Loaded L"\([^"]*\)".*/\1/p' "$work/loaddll.txt" |
      sed 's/.*\\//' | tr '[:upper:]' '[:lower:]' | sort -u)
    printf '  %-40s %3d: %s\n' "$program" "$(wc -w <<<"$dlls")" "$(tr '\n' ' ' <<<"$dlls")"
  done
fi
