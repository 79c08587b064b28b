#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the unit
# tests, from the host build the tests of the real exe and of the caller library
# (under Wine, size and imports, resources), and the release package built twice
# and compared. Exits non-zero when any build or test fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
source scripts/build_env.sh

passed=0
failed=0
skipped=0
failed_presets=()

# test_preset NAME: run the tests of preset NAME and add them to the totals.
test_preset() {
  local preset=$1 log status=0 total fails skips
  log="build/.ctest-$preset.log"
  echo "== test: $preset"
  ctest --preset "$preset" --parallel "${PROBE_JOBS:-2}" 2>&1 | tee "$log" || status=$?
  total=$(sed -n 's/.*tests passed, [0-9]* tests\{0,1\} failed out of \([0-9]*\)$/\1/p' "$log" | tail -n1)
  fails=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of [0-9]*$/\1/p' "$log" | tail -n1)
  skips=$(grep -c '(Skipped)$' "$log" || true)
  if [[ -z $total || $status -ne 0 ]]; then
    failed_presets+=("$preset")
  fi
  if [[ -n $total ]]; then
    passed=$((passed + total - fails - skips))
    failed=$((failed + fails))
    skipped=$((skipped + skips))
  fi
}

# fuzz_pass: every libFuzzer target for a bounded time over its committed
# corpus (FUZZ_SECONDS each); each target counts as one test.
fuzz_pass() {
  local log="build/.fuzz-ci.log" status=0 ok fails
  echo "== fuzz: each target ${FUZZ_SECONDS:-60}s"
  bash scripts/fuzz_ci.sh 2>&1 | tee "$log" || status=$?
  ok=$(grep -c ' executions  ok$' "$log" || true)
  fails=$(grep -c ' FAILED ' "$log" || true)
  passed=$((passed + ok))
  failed=$((failed + fails))
  if [[ $status -ne 0 || $ok -eq 0 ]]; then
    failed_presets+=(fuzz)
  fi
}

# release_repro: the release package built twice, in two directories one
# after the other, every file compared by SHA-256, and the packer's refusals;
# each check counts as one test.
release_repro() {
  local log="build/.release-repro.log" status=0 ok fails
  echo "== release: built twice and compared"
  bash tests/release/reproducible.sh build/release-repro build/windows-i686 2>&1 | tee "$log" || status=$?
  ok=$(grep -c '^ok ' "$log" || true)
  fails=$(grep -c '^FAIL ' "$log" || true)
  passed=$((passed + ok))
  failed=$((failed + fails))
  if [[ $status -ne 0 || $ok -eq 0 ]]; then
    failed_presets+=(release)
  fi
}

# mutation_pass: every deliberate fault of tests/mutation/faults.tsv applied to
# a scratch copy of the tree and run against the unit suite (host preset), then
# a sample of the generated mutants chosen by the commit (MUTANT_SAMPLE of
# them); each counts as one test, passed when a unit test caught it or when it
# is listed as equivalent, skipped when it does not compile.
mutation_pass() {
  local log="build/.mutation.log" status=0 caught missed
  echo "== mutation: deliberate faults and generated mutants against the unit suite"
  python3 scripts/mutation_check.py 2>&1 | tee "$log" || status=$?
  python3 scripts/mutation_sweep.py --sample "${MUTANT_SAMPLE:-200}" 2>&1 | tee -a "$log" || status=$?
  caught=$(grep -c '^\(caught\|equivalent\) ' "$log" || true)
  skipped=$((skipped + $(grep -c '^skipped ' "$log" || true)))
  missed=$(grep -c '^\(SURVIVED\|BROKEN\) ' "$log" || true)
  # A table row that cannot be applied, or an unchanged tree that fails, stops
  # the check before any fault is tried: that counts as one failure.
  if [[ $status -ne 0 && $missed -eq 0 ]]; then
    missed=1
  fi
  passed=$((passed + caught))
  failed=$((failed + missed))
  if [[ $status -ne 0 || $caught -eq 0 ]]; then
    failed_presets+=(mutation)
  fi
}

# The stages, one line each.
build_preset windows-i686
build_preset host
test_preset host
release_repro
mutation_pass
# The unit suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and
# built 32-bit like the product, where pointer-width and wrap faults show.
build_preset asan
test_preset asan
build_preset host32
test_preset host32
fuzz_pass

echo
if [[ ${#failed_presets[@]} -ne 0 ]]; then
  echo "test runs that failed: ${failed_presets[*]}"
fi
echo "total: $passed passed, $failed failed, $skipped skipped"
[[ ${#failed_presets[@]} -eq 0 ]]
