#!/usr/bin/env bash
# Writes the committed seed corpora of nested_walk_fuzz, signer_name_chains_fuzz
# and platform_decode_fuzz (fuzz/corpus/<job>/): synthetic seeds, plus the real
# attribute values (nested signatures, RFC 3161 time-stamp tokens, signing
# times, counter-signatures) of the signed end-to-end fixtures. The seeds of
# image_digest_fuzz are whole fixture files: signed ones, one with a nested
# signature, an unsigned one, and signed ones cut short inside their headers
# and inside their certificate table.
#
#   scripts/make_fuzz_seeds.sh [FIXTURES_DIR]
#
# FIXTURES_DIR defaults to build/windows-i686/e2e/fixtures (made by the
# windows-i686 build, see tests/e2e/make_fixtures.sh). Without it only the
# synthetic seeds are written. Needs osslsigncode for the real ones. The
# fixtures are deterministic, and so are the seeds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
fixtures=${1:-$root/build/windows-i686/e2e/fixtures}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DPROBE_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 -DPROBE_BUILD_TESTS=OFF
fi
ninja -C "$build" -j2 fuzz_seeds

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

signatures=()
if [ -d "$fixtures" ] && command -v osslsigncode >/dev/null; then
  while IFS= read -r dll; do
    name=$(basename "$dll" .dll)
    # Unsigned fixtures have no signature to extract.
    if osslsigncode extract-signature -in "$dll" -out "$work/$name.der" >/dev/null 2>&1; then
      signatures+=("$work/$name.der")
    fi
  done < <(find "$fixtures" -maxdepth 1 -name '*.dll' | LC_ALL=C sort)
  echo "${#signatures[@]} signed fixtures in $fixtures"
else
  echo "no fixtures in $fixtures (or no osslsigncode): synthetic seeds only" >&2
fi

"$build/fuzz_seeds" "$root/fuzz/corpus" "${signatures[@]}"

images=$root/fuzz/corpus/image_digest
if [ -d "$fixtures" ]; then
  rm -rf "$images"
  mkdir -p "$images"
  for name in client-c4-rfc3161 cloud-pinned client-nested client-unsigned; do
    [ -f "$fixtures/$name.dll" ] && cp "$fixtures/$name.dll" "$images/$name"
  done
  if [ -f "$fixtures/client-nested.dll" ]; then
    size=$(stat -c %s "$fixtures/client-nested.dll")
    for cut in 64 200 400 $((size - 100)); do
      head -c "$cut" "$fixtures/client-nested.dll" >"$images/client-nested-cut-$cut"
    done
  fi
fi
for job in nested_walk signer_name_chains platform_decode image_digest; do
  echo "$job: $(find "$root/fuzz/corpus/$job" -type f | wc -l) seeds"
done
