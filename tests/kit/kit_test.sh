#!/usr/bin/env bash
# The self-test kit's own tests (a stage of scripts/test.sh): one "ok " or
# "FAIL " line per check.
#
#   kit_test.sh ARCH      ARCH i686 (32-bit Wine) or x86_64 (64-bit Wine)
#
# Builds the kit (scripts/kit.sh), then: the table's export; no private key in
# the zip; in a fresh prefix, a run killed midway and the next one's undo of
# its journal; the whole kit, every scenario judged, with nothing of it left in
# the prefix afterwards (looked for from outside Wine: the registry files, the
# folders); and a kit whose test-pinned probe comes from a scratch copy of the
# tree with the signature check short-circuited, which must fail and name the
# scenarios. Exit status 0 when every check passed, 77 when Wine cannot run
# this width here.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"
arch=${1:-i686}
case $arch in i686) export WINE_ENV_ARCH=win32 ;; x86_64) export WINE_ENV_ARCH=win64 ;; *) exit 2 ;; esac
source scripts/wine_env.sh
wine_env_skip_unless_runnable "kit $arch" || exit 77
export WINE_ENV_RUN_TIMEOUT=900
build=$repo/build/kit-$arch
work=$build/test
failures=0
check() {
  local what=$1
  shift
  if "$@" >"$work/check.out" 2>&1; then
    echo "ok $arch: $what"
  else
    echo "FAIL $arch: $what"
    sed 's/^/    /' "$work/check.out" | head -40
    failures=$((failures + 1))
  fi
}

KIT_ARCH=$arch bash scripts/kit.sh
zip=$(ls -t dist/platform_probe-*"$( [[ $arch == x86_64 ]] && echo -x86_64)"-selftest.zip | head -n1)
rm -rf "$work"
mkdir -p "$work"

# --- the export: every row of the table, as it stands, and nothing else --------
source tests/e2e/scenarios.sh
unzip -p "$zip" scenarios.txt >"$work/scenarios.txt"
exported_names() { grep -v '^#' "$work/scenarios.txt" | cut -f1; }
field() { grep "^$1"$'\t' "$work/scenarios.txt" | tr '\t' '\n' | sed -n "s/^$2=//p"; }
same_names() { diff <(printf '%s\n' "${SCENARIO_NAMES[@]}") <(exported_names); }
same_field() {
  scenario_lookup "$1"
  [[ $(field "$1" "$2") == "$3" ]] || { echo "exported $2 of $1: $(field "$1" "$2")"; return 1; }
}
check "export: one line per scenario of the table, in its order" same_names
# name | key | the table's value (quotes, braces and "|" survive)
while IFS='|' read -r name key _; do
  scenario_lookup "$name"
  case $key in diag) want=$S_DIAG ;; calls) want=$S_CALLS ;; env) want=$S_ENV ;; cloud) want=$S_CLOUD ;; esac
  check "export: $name $key as the table has it" same_field "$name" "$key" "$want"
done <<'ROWS'
accepted.in_cloud|diag|
refused.cloud_no_initialize2|calls|
deadline.cloud_init_never_returns|env|
refused.client_absent|cloud|
ROWS
check "export: a row of the side table is marked" \
  test "$(field refused.cloud_forged_zone_ca_user_root windows)" == skip
check "export: a side table naming no scenario is refused" \
  bash -c '! bash scripts/kit_scenarios.sh <(printf "no.such_scenario\tskip\twhy\n")'

# --- the zip: certificates and CRLs, no private key ---------------------------
no_key() {
  ! unzip -Z1 "$zip" | grep -Ei '\.(key|pfx|p12)$' && ! unzip -p "$zip" | grep -a 'PRIVATE KEY'
}
check "zip: no private key in it (names and contents)" no_key
check "zip: the kit's CRLs are in it" bash -c "unzip -Z1 '$zip' | grep -q '^certs/crl/pinned-l1.crl$'"
check "zip: the private keys are gone from the build too" \
  bash -c "! find '$build/pki' -name '*.key' | grep -q ."

# --- under Wine ------------------------------------------------------------------
wine_env_fresh "$work/prefix" >/dev/null || { echo "FAIL $arch: the prefix did not boot"; exit 1; }
drive_c=$WINEPREFIX/drive_c
unzip -q "$zip" -d "$drive_c/kit"
# The kit's certificates and CRLs by their SHA-1, as the registry names them.
hashes=$work/hashes
for f in "$drive_c"/kit/certs/root/* "$drive_c"/kit/certs/ca/*; do
  openssl x509 -in "$f" -outform DER | sha1sum | cut -c1-40 | tr a-f A-F
done >"$hashes"
for f in "$drive_c"/kit/certs/crl/*; do openssl crl -in "$f" -outform DER | sha1sum | cut -c1-40 | tr a-f A-F; done >>"$hashes"
# Two CAs that share a name and a key issue the same CRL.
sort -u -o "$hashes" "$hashes"
# in_registry N: N of the kit's hashes are in the prefix's registry files (the
# server is stopped first, so that they are written out).
in_registry() {
  wine_env_stop
  local n
  n=$(grep -ohFf "$hashes" "$WINEPREFIX"/system.reg "$WINEPREFIX"/user.reg | sort -u | wc -l)
  [[ $n -eq $1 ]] || { echo "$n of the kit's certificates and CRLs are in the registry, not $1"; return 1; }
}
leftovers() {
  find "$drive_c" -maxdepth 7 \( -name 'KORVEX*' -o -name stp-selftest -o -name selftest.journal \) | grep . && return 1
  return 0
}

# A run killed while it works leaves its additions; the next run takes them away.
(wine_env_run "$work/killed.out" "$work/killed.err" -- 'C:\kit\selftest.exe' || true) &
for _ in $(seq 600); do grep -q '^ok ' "$work/killed.out" 2>/dev/null && break; sleep 0.2; done
wine_env_server -k >/dev/null 2>&1 || true
wait
check "journal: the killed run had begun scenarios" grep -q '^ok ' "$work/killed.out"
check "journal: the killed run left every certificate and CRL in the stores" in_registry "$(wc -l <"$hashes")"
check "journal: the killed run left its journal" test -s "$drive_c/kit/selftest.journal"
wine_env_run "$work/undo.out" "$work/undo.err" -- 'C:\kit\selftest.exe' --undo || true
check "journal: --undo takes it all away" grep -qx 'selftest: nothing of an earlier run is left' \
  <(tr -d '\r' <"$work/undo.out")
check "journal: no certificate or CRL of the kit left in the stores" in_registry 0
check "journal: no folder or journal of the kit left" leftovers

# A cloud folder of the machine's own: refused in one line, nothing touched.
mkdir -p "$drive_c/ProgramData/KORVEX Corporation/Stratoplay"
status=0
wine_env_run "$work/refused.out" "$work/refused.err" -- 'C:\kit\selftest.exe' || status=$?
check "refuses on a machine with a cloud folder, in one line" \
  test "$status" -eq 2 -a "$(tr -d '\r' <"$work/refused.out" | wc -l)" -eq 1
check "the machine's cloud folder is left as it was" test -d "$drive_c/ProgramData/KORVEX Corporation/Stratoplay"
rm -rf "$drive_c/ProgramData/KORVEX Corporation"

# The whole kit. Wine prefers its own copies of the planted names unless told
# otherwise; told as the matrix tells it (where a control shows that a plain
# load then maps every planted copy), the planting scenarios can fail here too.
plants=$(sed -n 's/^readonly kPlantNames="\(.*\)"$/\1/p' tests/e2e/matrix.sh)
status=0
started=$(date +%s)
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;${plants// /,}=n,b" \
  wine_env_run "$work/run.out" "$work/run.err" -- 'C:\kit\selftest.exe' || status=$?
tr -d '\r' <"$work/run.out" >"$work/run.txt"
echo "kit $arch: $(tail -n1 "$work/run.txt") in $(($(date +%s) - started)) s"
check "the kit passes under Wine (exit status $status)" test "$status" -eq 0
check "every scenario judged but the skipped ones" bash -c "! grep -E '^(FAIL|seen) ' '$work/run.txt'"
check "a line per scenario" test "$(grep -cE '^(ok  |skip) ' "$work/run.txt")" -eq "${#SCENARIO_NAMES[@]}"
check "the JUnit XML names no failure" bash -c "grep -q '<testsuite .*failures=\"0\"' '$drive_c/kit/selftest.xml'"
check "the facts name every fixture's trust result" grep -q '^  trust: ' "$work/run.txt"
check "afterwards no certificate or CRL of the kit in the stores" in_registry 0
check "afterwards no folder or journal of the kit" leftovers

# The control: the signature check short-circuited in a scratch copy of the tree.
control=(refused.client_unsigned refused.cloud_unsigned refused.cloud_one_byte_changed refused.client_untrusted_root)
python3 tests/kit/short_circuit.py "$build/control-tree" "$build/pki/pinned" "$arch" "$work/short.exe" >/dev/null
cp "$work/short.exe" "$drive_c/kit/app/test-pinned/platform_probe.exe"
status=0
wine_env_run "$work/control.out" "$work/control.err" -- 'C:\kit\selftest.exe' --only \
  "$(IFS=,; echo "${control[*]}")" || status=$?
tr -d '\r' <"$work/control.out" >"$work/control.txt"
check "control: the short-circuited kit fails (exit status $status)" test "$status" -eq 1
for name in "${control[@]}"; do
  check "control: names $name" grep -q "^FAIL $name: " "$work/control.txt"
done
check "control: nothing of the kit left" in_registry 0
wine_env_stop
[[ $failures -eq 0 ]]
