#!/usr/bin/env bash
# Builds the release package from the commit that is checked out:
#
#   dist/platform_probe-<version>-win32.zip
#     platform_probe-<version>-win32/platform_probe.exe
#     platform_probe-<version>-win32/platform_probe_diag.exe
#     platform_probe-<version>-win32/CALLING.txt
#     platform_probe-<version>-win32/SHA256SUMS
#
# (and the same files unpacked beside it). The version is the one in VERSION,
# which is also what the exes' version resources say; a tag on the commit must
# be v<version>.
#
# The same commit gives the same bytes wherever and whenever it is built: a
# fresh build directory of its own (build/release), the release preset (release
# pins only, nothing for tests), the PE time stamp taken from the commit time
# (SOURCE_DATE_EPOCH), no build directory inside the binaries, and a zip with a
# fixed order, dates and modes.
#
# Refuses (exit 1) a tree with changes or untracked files, a tag that disagrees
# with VERSION, and exes that do not pin the release chain, pin a test key, carry
# another time stamp or a build path, or whose version resource is not VERSION.
#
# usage: scripts/release.sh         (PROBE_JOBS jobs, default 2)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)

refuse() {
  echo "release: $*" >&2
  exit 1
}

git rev-parse --verify -q HEAD >/dev/null || refuse "not a git checkout with a commit"
changes=$(git status --porcelain --untracked-files=all)
if [[ -n $changes ]]; then
  printf '%s\n' "$changes" | head -n 20 >&2
  refuse "the tree differs from its commit; a release is built from a clean checkout only"
fi

version=$(head -n1 VERSION)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || refuse "VERSION holds '$version', not MAJOR.MINOR.PATCH"
commit=$(git rev-parse HEAD)
for tag in $(git tag --points-at HEAD 'v*'); do
  [[ $tag == "v$version" ]] || refuse "HEAD is tagged $tag but VERSION says $version"
done
# The commit's own time: the same for everyone who checks it out.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
umask 022

bash scripts/setup.sh >&2
echo "release: $version from $commit (commit time $SOURCE_DATE_EPOCH)" >&2

build=$repo/build/release
rm -rf "$build"
mkdir -p "$repo/build"
cmake --preset release >"$repo/build/.configure-release.log" 2>&1 || {
  cat "$repo/build/.configure-release.log" >&2
  refuse "configuring the release build failed"
}
cmake --build --preset release --parallel "${PROBE_JOBS:-2}" >&2

exes=("$build/platform_probe.exe" "$build/platform_probe_diag.exe")
if [[ -e $build/test-pinned ]]; then
  refuse "the release build made test-pinned exes"
fi

# The keys each chain pins, as the build's pinned table holds them.
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
pinned_key() {  # CERT OUT: the certificate's RSAPublicKey in DER
  openssl x509 -in "$1" -pubkey -noout | openssl rsa -pubin -RSAPublicKey_out -outform DER -out "$2" 2>/dev/null
}
key_args=()
for name in l1 root; do
  pinned_key "pki/release/$name.pem" "$keys/release-$name.der"
  key_args+=(--release-key "$keys/release-$name.der")
  if [[ -f tests/pki/pinned/$name.pem ]]; then
    pinned_key "tests/pki/pinned/$name.pem" "$keys/test-$name.der"
    key_args+=(--test-key "$keys/test-$name.der")
  fi
done
python3 scripts/release_pack.py check --epoch "$SOURCE_DATE_EPOCH" "${key_args[@]}" \
  --forbid "$repo" --forbid "$build" "${exes[@]}" >&2 ||
  refuse "the built exes are not fit to ship (above)"
bash tests/e2e/exe_shape.sh resources "$build/platform_probe.exe" \
  "$(command -v i686-w64-mingw32-windres)" "$(sed -E 's/^([0-9]+\.[0-9]+\.[0-9]+)$/\1.0/' <<<"$version")" >&2 ||
  refuse "the version resource does not carry $version"

dist=$repo/dist
package=platform_probe-$version-win32
rm -rf "${dist:?}/$package" "$dist/$package.zip"
mkdir -p "$dist"
python3 scripts/release_pack.py pack --version "$version" --epoch "$SOURCE_DATE_EPOCH" \
  --calling release/CALLING.txt --out "$dist" "${exes[@]}"
echo "release: $dist/$package.zip" >&2
