#!/usr/bin/env bash
# The release package rebuilds bit for bit: the tree as it stands (committed,
# or a snapshot of its changes committed in the clones) is cloned into two
# directories, one of them with a space in its path, and
# scripts/release.sh runs in each, one after the other; every file it writes
# must have the same SHA-256 in both. Then the refusals: an untracked file, a
# changed file, a tag that is not the version, a caller library of another
# version, and an exe that pins the test chain.
#
# usage: reproducible.sh WORK [WINDOWS_BUILD]
#   WORK           scratch directory (emptied)
#   WINDOWS_BUILD  the windows-i686 build whose test-pinned exe must be refused
#                  (default build/windows-i686)
# Prints one "ok   ..." or "FAIL ..." line per check; exit 1 when any failed.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
windows_build=${2:-$repo/build/windows-i686}
failures=0
ok() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Two clones of HEAD (a snapshot commit of the tree's changes, the same in both).
source "$repo/tests/release/clone.sh"
snapshot_date="$(date -u +%s) +0000"
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
a=$work/a/src
b="$work/b/another place/src"
clone_tree "$repo" "$a" "$snapshot_date"
clone_tree "$repo" "$b" "$snapshot_date"
[[ $(git -C "$a" rev-parse HEAD) == $(git -C "$b" rev-parse HEAD) ]] || {
  fail "the two clones are not the same commit"
  exit 1
}

release() {  # DIR LOG [ARG...]: scripts/release.sh in DIR
  local dir=$1 log=$2
  shift 2
  (cd "$dir" && bash scripts/release.sh "$@") >"$log" 2>&1
}
if ! release "$a" "$work/a.log"; then
  tail -n 30 "$work/a.log"
  fail "release build in $a"
  exit 1
fi
sleep 1
if ! release "$b" "$work/b.log"; then
  tail -n 30 "$work/b.log"
  fail "release build in $b"
  exit 1
fi

# Every file, compared by its SHA-256.
(cd "$a" && find dist -type f | LC_ALL=C sort) >"$work/a.files"
(cd "$b" && find dist -type f | LC_ALL=C sort) >"$work/b.files"
if cmp -s "$work/a.files" "$work/b.files" && [[ -s $work/a.files ]]; then
  ok "both builds wrote the same $(wc -l <"$work/a.files") files"
else
  fail "the builds wrote different files: $(diff "$work/a.files" "$work/b.files" | tr '\n' ' ')"
fi
while IFS= read -r file; do
  sum_a=$(sha256sum <"$a/$file" | cut -d' ' -f1)
  sum_b=$(sha256sum <"$b/$file" 2>/dev/null | cut -d' ' -f1 || true)
  if [[ $sum_a == "$sum_b" ]]; then
    ok "same bytes: $file $sum_a"
  else
    fail "$file differs: $sum_a in $a, ${sum_b:-missing} in $b"
  fi
done <"$work/a.files"

# What a user checks: the sums inside, and the zip holding exactly those files.
package=$(cd "$a/dist" && ls -d platform_probe-*-win32)
if (cd "$a/dist/$package" && sha256sum --quiet -c SHA256SUMS); then
  ok "SHA256SUMS matches the files beside it"
else
  fail "SHA256SUMS does not match the files beside it"
fi
if python3 - "$a/dist/$package.zip" "$a/dist" <<'PY'; then
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    on_disk = sorted(os.path.relpath(os.path.join(d, f), sys.argv[2]) for d, _, files in os.walk(sys.argv[2])
                     for f in files if d != sys.argv[2])
    assert sorted(names) == on_disk, (names, on_disk)
    for n in names:
        assert z.read(n) == open(os.path.join(sys.argv[2], n), "rb").read(), n
PY
  ok "the zip holds exactly the unpacked files"
else
  fail "the zip and the unpacked files differ"
fi

# The toolchain record holds this machine's versions of the packages it names.
record=$a/dist/$package/TOOLCHAIN.txt
if [[ -s $record ]] && diff <(dpkg-query -W -f='${Package} ${Version}\n' $(cut -d' ' -f1 "$record") |
    LC_ALL=C sort) "$record" >/dev/null && grep -q "^g++-mingw-w64-i686-win32 " "$record"; then
  ok "TOOLCHAIN.txt records the installed versions: $(tr '\n' ';' <"$record")"
else
  fail "TOOLCHAIN.txt does not record the installed versions"
fi

# refused WHAT DIR PATTERN [ARG...]: release.sh in DIR (with ARGs) must fail, saying PATTERN.
refused() {
  local what=$1 dir=$2 pattern=$3
  shift 3
  if release "$dir" "$work/refusal.log" "$@"; then
    fail "release.sh accepted $what"
  elif grep -q -- "$pattern" "$work/refusal.log"; then
    ok "release.sh refuses $what"
  else
    fail "release.sh failed on $what without saying '$pattern': $(tail -n 3 "$work/refusal.log")"
  fi
}
touch "$a/stray.txt"
refused "an untracked file" "$a" "differs from its commit"
rm "$a/stray.txt"
echo "// changed" >>"$a/probe/main.cpp"
refused "a changed file" "$a" "differs from its commit"
git -C "$a" checkout -q -- probe/main.cpp
git -C "$a" tag v0.0.0-wrong
refused "a tag that is not the version" "$a" "VERSION says"
git -C "$a" tag -d v0.0.0-wrong >/dev/null
# A rebuild meant to reproduce a release made with another compiler.
sed 's/^\(g++-mingw-w64-i686-win32\) .*/\1 0.0-other/' "$record" >"$work/other-toolchain.txt"
refused "a toolchain other than the release's record" "$a" "toolchain is not the one" \
  --toolchain "$work/other-toolchain.txt"

# The callers' sources go in only as the package's version.
if python3 "$repo/scripts/release_pack.py" pack --version 9.9.9 --epoch 0 --calling "$repo/release/CALLING.txt" \
    --toolchain "$record" --tree "$repo" --out "$work/other-version" "$a/dist/$package/platform_probe.exe" \
    >"$work/other-version.log"; then
  fail "the packer took a caller library of another version"
elif grep -q "probe_caller_version.h says" "$work/other-version.log"; then
  ok "the packer refuses a caller library of another version"
else
  fail "the packer refused the caller library for another reason: $(cat "$work/other-version.log")"
fi

# An exe that pins the test chain is refused by what it holds, whatever its
# build was called.
test_exe=$windows_build/test-pinned/platform_probe.exe
if [[ -f $test_exe ]]; then
  for name in l1 root; do
    openssl x509 -in "$repo/pki/release/$name.pem" -pubkey -noout |
      openssl rsa -pubin -RSAPublicKey_out -outform DER -out "$work/release-$name.der" 2>/dev/null
    openssl x509 -in "$repo/tests/pki/pinned/$name.pem" -pubkey -noout |
      openssl rsa -pubin -RSAPublicKey_out -outform DER -out "$work/test-$name.der" 2>/dev/null
  done
  if python3 "$repo/scripts/release_pack.py" check --epoch 0 \
      --release-key "$work/release-l1.der" --release-key "$work/release-root.der" \
      --test-key "$work/test-l1.der" --test-key "$work/test-root.der" "$test_exe" >"$work/pins.log"; then
    fail "the packer accepted the test-pinned exe"
  elif grep -q "pins the TEST key" "$work/pins.log" && grep -q "does not pin the release key" "$work/pins.log"; then
    ok "the packer refuses an exe that pins the test chain"
  else
    fail "the packer refused the test-pinned exe for another reason: $(cat "$work/pins.log")"
  fi
else
  fail "no test-pinned exe at $test_exe to try the packer on"
fi

echo "release reproducibility: $failures check(s) failed"
[[ $failures -eq 0 ]]
