#!/usr/bin/env bash
# The bounded fuzz pass of CI. Builds the fuzz preset (build/fuzz) and runs
# every *_fuzz target for FUZZ_SECONDS seconds (default 60), one after
# another, starting from its committed corpus fuzz/corpus/<job>/. Every
# committed input runs first, so a regression case that fails again fails
# the pass at once.
#
#   scripts/fuzz_ci.sh [TARGET...]        FUZZ_SECONDS=30 scripts/fuzz_ci.sh
#
# Any crash, sanitizer report, input slower than 10 s or memory above 2 GB
# fails the pass (exit status 1). Inputs the run finds go to a scratch
# directory that is removed afterwards; the committed corpus is never written.
# The failing input of a target is kept in build/fuzz/ci-artifacts/<target>/,
# its log in build/fuzz/ci-logs/<target>.log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds=${FUZZ_SECONDS:-60}
targets=("$@")

case $seconds in
  '' | *[!0-9]*) echo "FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

if [ ${#targets[@]} -eq 0 ]; then
  while IFS= read -r path; do
    targets+=("$(basename "$path")")
  done < <(find "$build" -maxdepth 1 -type f -executable -name '*_fuzz' | LC_ALL=C sort)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no *_fuzz target in $build" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/ci-logs"

failed=0
summary=()
for target in "${targets[@]}"; do
  job=${target%_fuzz}
  corpus="$root/fuzz/corpus/$job"
  if [ ! -d "$corpus" ]; then
    echo "$target: no committed corpus in fuzz/corpus/$job" >&2
    failed=1
    summary+=("$(printf '%-28s FAILED (no corpus)' "$target")")
    continue
  fi
  artifacts="$build/ci-artifacts/$target/"
  log="$build/ci-logs/$target.log"
  rm -rf "$artifacts"
  mkdir -p "$artifacts" "$scratch/$job"

  echo "== $target: ${seconds}s from $(find "$corpus" -type f | wc -l) committed inputs"
  status=0
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$scratch/$job" "$corpus" \
    >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $status -ne 0 ]; then
    failed=1
    tail -n 40 "$log" >&2
    summary+=("$(printf '%-28s %12s executions  FAILED (exit %s, see %s)' \
      "$target" "${execs:-?}" "$status" "$log")")
  else
    summary+=("$(printf '%-28s %12s executions  ok' "$target" "${execs:-?}")")
  fi
done

echo
printf '%s\n' "${summary[@]}"
exit $failed
