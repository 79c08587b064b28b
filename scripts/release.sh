#!/usr/bin/env bash
# Builds the release package from the commit that is checked out:
#
#   dist/platform_probe-<version>-win32.zip
#     platform_probe-<version>-win32/platform_probe.exe
#     platform_probe-<version>-win32/platform_probe_diag.exe
#     platform_probe-<version>-win32/CALLING.txt
#     platform_probe-<version>-win32/TOOLCHAIN.txt
#     platform_probe-<version>-win32/caller/...     the caller library's sources
#     platform_probe-<version>-win32/examples/...   the C# and Node callers
#     platform_probe-<version>-win32/SHA256SUMS
#
# (and the same files unpacked beside it). The version is the one in VERSION,
# which is also what the exes' version resources say; a tag on the commit must
# be v<version>.
#
# The same commit gives the same bytes wherever and whenever it is built with
# the same toolchain: a fresh build directory of its own (build/release), the release preset (release
# pins only, nothing for tests), the PE time stamp taken from the commit time
# (SOURCE_DATE_EPOCH), no build directory inside the binaries, and a zip with a
# fixed order, dates and modes. The toolchain is an input the commit does not
# fix: TOOLCHAIN.txt records the Debian package versions that make the bytes,
# and a rebuild given the record of the release it means to reproduce refuses
# a machine whose versions differ.
#
# Refuses (exit 1) a tree with changes or untracked files, a tag that disagrees
# with VERSION, and exes that do not pin the release chain, pin a test key, carry
# another time stamp or a build path, or whose version resource is not VERSION.
#
# usage: scripts/release.sh [--toolchain TOOLCHAIN.txt]   (PROBE_JOBS jobs, default 2)
#   --toolchain  the record of a release to reproduce: this machine's versions
#                must be the ones it lists
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)

refuse() {
  echo "release: $*" >&2
  exit 1
}

expected_toolchain=
if [[ ${1:-} == --toolchain ]]; then
  [[ -f ${2:-} ]] || refuse "--toolchain needs the TOOLCHAIN.txt of the release to reproduce"
  expected_toolchain=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  shift 2
fi
[[ $# -eq 0 ]] || refuse "usage: scripts/release.sh [--toolchain TOOLCHAIN.txt]"

# The packages whose versions decide the bytes: the compiler, its C and C++
# runtimes and the Windows import libraries it links statically, the linker and
# resource compiler, the build tools, and the zip writer.
toolchain_packages=(gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  mingw-w64-i686-dev mingw-w64-common cmake ninja-build python3)
toolchain_record() {
  dpkg-query -W -f='${Package} ${Version}\n' "${toolchain_packages[@]}" | LC_ALL=C sort
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
toolchain=$(toolchain_record) || refuse "cannot read the toolchain's package versions"
if [[ -n $expected_toolchain ]]; then
  if ! diff <(tr -d '\r' <"$expected_toolchain") <(printf '%s\n' "$toolchain") >&2; then
    refuse "this machine's toolchain is not the one $expected_toolchain records (above: < recorded, > here)"
  fi
fi
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
printf '%s\n' "$toolchain" >"$build/TOOLCHAIN.txt"
python3 scripts/release_pack.py pack --version "$version" --epoch "$SOURCE_DATE_EPOCH" \
  --calling release/CALLING.txt --toolchain "$build/TOOLCHAIN.txt" --source "$repo" --out "$dist" "${exes[@]}"
echo "release: $dist/$package.zip" >&2
