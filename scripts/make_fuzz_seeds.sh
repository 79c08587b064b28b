#!/usr/bin/env bash
# Writes the committed seed corpora of nested_walk_fuzz, signer_name_chains_fuzz
# and platform_decode_fuzz (fuzz/corpus/<job>/): synthetic seeds, plus the real
# attribute values (nested signatures, RFC 3161 time-stamp tokens, signing
# times, counter-signatures) of the signed end-to-end fixtures. The seeds of
# image_digest_fuzz are whole fixture files: signed ones, one with a nested
# signature, an unsigned one, signed ones cut short inside their headers
# and inside their certificate table, and signed ones past 64 KiB and 128 KiB.
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
  # Past the first read block and past the second (the target takes up to
  # four): the unsigned image grown to that size with bytes that differ from
  # block to block, then signed, and the larger one with a byte changed in its
  # third block. libFuzzer's longest input is the longest seed's.
  if [ -f "$fixtures/client-unsigned.dll" ] && command -v osslsigncode >/dev/null; then
    pki=$root/tests/pki/e2e
    grown=$(mktemp -d)
    cat "$pki/c4-leaf.pem" "$pki/c4-ca.pem" >"$grown/certs.pem"
    for size in 70000 140000; do
      python3 - "$fixtures/client-unsigned.dll" "$grown/in.dll" "$size" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
size = int(sys.argv[3])
data += bytes((i * 7 + i // 65536) & 0xFF for i in range(len(data), size))
open(sys.argv[2], "wb").write(data)
PY
      osslsigncode sign -certs "$grown/certs.pem" -key "$pki/c4-leaf.key" -h sha256 \
        -time 1714564800 -in "$grown/in.dll" -out "$images/client-grown-$size" >/dev/null
    done
    cp "$images/client-grown-140000" "$images/client-grown-140000-changed"
    printf '\x5a' | dd of="$images/client-grown-140000-changed" bs=1 seek=135000 conv=notrunc \
      status=none
    rm -rf "$grown"
  fi
fi
for job in nested_walk signer_name_chains platform_decode image_digest; do
  echo "$job: $(find "$root/fuzz/corpus/$job" -type f | wc -l) seeds"
done
