#!/usr/bin/env bash
# Writes the end-to-end scenario table (tests/e2e/scenarios.sh, as it stands,
# rows added by anyone included) in the self-test kit's form: scenarios.txt,
# one scenario per line,
#
#   NAME<TAB>key=value<TAB>key=value...
#
# with the keys of the table that a Windows machine can act on: why, exe,
# cloud, client, env, stdout, calls, diag, nodiag, plant, helper, cloudlink,
# deadline (meanings in scenarios.sh; a key left out has the table's default),
# and two of the kit's own from selftest/windows.tsv (a side table keyed by
# scenario name; a scenario it does not name runs as under Wine):
#   windows=run     judged on Windows as under Wine
#   windows=report  where the Windows answer is not yet known for a known
#                   reason: selftest.exe reports what it saw, without judging
#   windows=skip    not run by the kit at all
#   reason=         why, for report and skip
# The Wine matrix's timings (control=, deadline bounds) and its loopback URL
# server (server=) are not part of the kit: it checks the answers only.
#
# usage: kit_scenarios.sh [SIDE_TABLE]    (default selftest/windows.tsv)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
side=${1:-$repo/selftest/windows.tsv}
# shellcheck source=../tests/e2e/scenarios.sh
source "$repo/tests/e2e/scenarios.sh"

declare -A mode=() why_not=()
while IFS=$'\t' read -r name m reason; do
  [[ -z $name || $name == \#* ]] && continue
  [[ -n ${SCENARIO_DEF[$name]+set} ]] || {
    echo "kit_scenarios: $side names $name, which the table does not hold" >&2
    exit 1
  }
  case $m in run | report | skip) ;; *) echo "kit_scenarios: $name: mode '$m' is not run, report or skip" >&2; exit 1 ;; esac
  mode[$name]=$m
  why_not[$name]=$reason
done <"$side"

echo "# platform_probe self-test scenarios: NAME<TAB>key=value..., exported from the end-to-end table"
for name in "${SCENARIO_NAMES[@]}"; do
  scenario_lookup "$name"
  line=$name
  for kv in "why=$S_WHY" "exe=$S_EXE" "cloud=$S_CLOUD" "client=$S_CLIENT" "env=$S_ENV" \
    "stdout=$S_STDOUT" "calls=$S_CALLS" "diag=$S_DIAG" "nodiag=$S_NODIAG" "plant=$S_PLANT" \
    "helper=$S_HELPER" "cloudlink=$S_CLOUDLINK" "deadline=$S_DEADLINE" \
    "windows=${mode[$name]:-run}" "reason=${why_not[$name]:-}"; do
    [[ $kv == *$'\t'* || $kv == *$'\n'* ]] && {
      echo "kit_scenarios: $name: a tab or line break in ${kv%%=*}" >&2
      exit 1
    }
    [[ -n ${kv#*=} ]] && line+=$'\t'$kv
  done
  printf '%s\n' "$line"
done
