#!/usr/bin/env bash
# Installs what is missing, builds platform_probe.exe and runs it once under Wine
# in a private 32-bit prefix (build/wine-run), printing its report line. Set-up
# and build messages go to standard error; standard output is the line alone.
# Exits with the probe's exit status.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh >&2
source scripts/build_env.sh
build_preset windows-i686 >&2

source scripts/wine_env.sh
run_dir=build/wine-run
trap wine_env_stop EXIT
wine_env_boot "$run_dir/prefix" >&2

status=0
wine_env_run "$run_dir/stdout" "$run_dir/stderr" -- build/windows-i686/platform_probe.exe || status=$?
# The exe writes text mode, CR LF on Windows; here the line is Linux text.
tr -d '\r' <"$run_dir/stdout"
if [[ $status -ne 0 ]]; then
  cat "$run_dir/stderr" >&2
  echo "platform_probe.exe exited with status $status" >&2
fi
exit "$status"
