#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz and runs each *_fuzz target found
# there for a time or a number of runs, then prints the executions per target.
#
#   scripts/fuzz_campaign.sh [-t SECONDS | -r RUNS] [-j JOBS] [TARGET...] [-- LIBFUZZER-FLAGS...]
#
#   -t SECONDS  run each target this long (default 60)
#   -r RUNS     run each target this many executions instead
#   -j JOBS     run each target as this many parallel workers sharing one
#               corpus; with -r the runs are split between them, and the
#               executions printed are their sum (default 1)
#   TARGET      only these targets (names ending in _fuzz); default every one
#
# Each target <job>_fuzz starts from the committed seeds in fuzz/corpus/<job>/
# and keeps what it finds in build/fuzz/corpus/<job>/ (the committed seeds are
# never written). Crashes land in build/fuzz/artifacts/<target>/, logs in
# build/fuzz/logs/ (each worker's in build/fuzz/logs/<target>/ with -j). The
# exit status is nonzero when any target failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds=60
runs=""
jobs=1
targets=()
extra=()

while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds="$2"; runs=""; shift 2 ;;
    -r) runs="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    --) shift; extra=("$@"); break ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
case "$jobs" in
  ''|*[!0-9]*|0) echo "-j wants a positive number, not '$jobs'" >&2; exit 2 ;;
esac

# The same optimised build as the CI pass, so executions per second compare.
(cd "$root" && cmake --preset fuzz >/dev/null)
ninja -C "$build" -j2 "${targets[@]}"

if [ ${#targets[@]} -eq 0 ]; then
  while IFS= read -r path; do
    targets+=("$(basename "$path")")
  done < <(find "$build" -maxdepth 1 -type f -executable -name '*_fuzz' | sort)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no *_fuzz target in $build" >&2
  exit 1
fi

# libFuzzer gives each worker the same -runs, so the runs are split here; the
# shares are rounded up so that the workers together reach at least RUNS.
if [ -n "$runs" ]; then
  limit=(-runs="$(( (runs + jobs - 1) / jobs ))")
else
  limit=(-max_total_time="$seconds")
fi
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); else parallel=(); fi

mkdir -p "$build/logs"
failed=0
summary=()
for target in "${targets[@]}"; do
  job=${target%_fuzz}
  work="$build/corpus/$job"
  artifacts="$build/artifacts/$target/"
  log="$build/logs/$target.log"
  mkdir -p "$work" "$artifacts"
  corpora=("$work")
  if [ -d "$root/fuzz/corpus/$job" ]; then corpora+=("$root/fuzz/corpus/$job"); fi

  echo "== $target: ${limit[*]}${parallel[*]:+ ${parallel[*]}}"
  status=0
  start=$(date +%s)
  if [ "$jobs" -gt 1 ]; then
    # Each worker writes fuzz-<n>.log into the current directory.
    workers="$build/logs/$target"
    rm -rf "$workers"
    mkdir -p "$workers"
    (cd "$workers" && exec "$build/$target" "${limit[@]}" "${parallel[@]}" -print_final_stats=1 \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts" "${extra[@]}" "${corpora[@]}") \
      >"$log" 2>&1 || status=$?
    stats=("$workers"/fuzz-*.log)
    where="$workers/"
  else
    "$build/$target" "${limit[@]}" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts" "${extra[@]}" "${corpora[@]}" >"$log" 2>&1 || status=$?
    stats=("$log")
    where="$log"
  fi
  elapsed=$(( $(date +%s) - start ))
  # A worker that died before its final stats leaves no count, so the sum is
  # printed only when every worker gave one.
  counts=$(sed -n 's/^stat::number_of_executed_units: *//p' "${stats[@]}" 2>/dev/null || true)
  execs=""
  if [ "$(printf '%s\n' "$counts" | grep -c .)" -eq "${#stats[@]}" ]; then
    execs=$(printf '%s\n' "$counts" | awk '{ sum += $1 } END { print sum }')
  fi
  if [ $status -ne 0 ]; then
    failed=1
    summary+=("$(printf '%-32s %14s executions %6ss  FAILED (exit %s, see %s)' "$target" "${execs:-?}" "$elapsed" "$status" "$where")")
  else
    summary+=("$(printf '%-32s %14s executions %6ss  ok' "$target" "${execs:-?}" "$elapsed")")
  fi
done

echo
printf '%s\n' "${summary[@]}"
exit $failed
