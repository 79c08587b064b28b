#!/usr/bin/env bash
# Builds the release package from the commit that is checked out:
#
#   dist/platform_probe-<version>-win32.zip
#     platform_probe-<version>-win32/platform_probe.exe
#     platform_probe-<version>-win32/platform_probe_diag.exe
#     platform_probe-<version>-win32/CALLING.txt
#     platform_probe-<version>-win32/TOOLCHAIN.txt
#     platform_probe-<version>-win32/SOURCE.txt
#     platform_probe-<version>-win32/caller/...     the caller library's sources
#     platform_probe-<version>-win32/examples/...   the C# and Node callers
#     platform_probe-<version>-win32/SHA256SUMS
#
# (and the same files unpacked beside it). A release version is a tag: on a
# commit tagged v<VERSION> the version is VERSION, which is also what the
# exes' version resources say; any other commit builds as the development
# version <VERSION>-dev.g<12 hex digits of the commit>, so two commits never
# ship under one name. SOURCE.txt records the version and the commit.
#
# The same commit gives the same bytes wherever and whenever it is built with
# the same toolchain: a fresh build directory of its own (build/release), the release preset (release
# pins only, nothing for tests), the PE time stamp taken from the commit time
# (SOURCE_DATE_EPOCH), no build directory inside the binaries, and a zip with a
# fixed order, dates and modes. The toolchain is an input the commit does not
# fix: TOOLCHAIN.txt records the Debian package versions that make the bytes,
# and a rebuild given the record of the release it means to reproduce refuses
# a machine whose versions differ. The tools are Debian's, run from /usr/bin
# and /bin whatever else comes first on PATH, so the record names what ran.
#
# Signed (--sign): both exes carry an Authenticode signature (SHA-256, the
# publisher's chain, an RFC 3161 time-stamp from --timestamp-url) made by
# osslsigncode, whose version TOOLCHAIN.txt then records too. The key is a
# PKCS #12 file, or a PKCS #11 URI (pkcs11:...) with --pkcs11-module and the
# chain in --certs. Its password or PIN comes from --password-file or the
# environment variable PROBE_SIGN_PASSWORD, never from the command line.
# Before building, the signing certificate must be for code signing and
# within its validity (read with openssl); after signing, each signature must
# verify, carry the image's digest and a time-stamp over it, and attached to
# the unsigned exe it must give back the signed exe byte for byte (which is
# how --verify checks it). Otherwise nothing is packaged.
#
# --verify PACKAGE.zip rebuilds the commit the package records in a
# temporary clone of this repository, refusing a toolchain other than the
# package's, attaches each signature of the package's exes to the rebuilt
# exe and compares the whole files; it names every file that differs, and
# reports each signature (verifies, digest, signer, time-stamp).
#
# Refuses (exit 1) a tree with changes or untracked files, a tag that disagrees
# with VERSION, and exes that do not pin the release chain, pin a test key, carry
# another time stamp or a build path, or whose version resource is not VERSION.
#
# usage: scripts/release.sh [--toolchain TOOLCHAIN.txt]
#                           [--sign KEY --timestamp-url URL [--password-file FILE]
#                            [--certs CHAIN.pem] [--pkcs11-module MODULE.so]]
#        scripts/release.sh --verify PACKAGE.zip
#   (PROBE_JOBS jobs, default 2)
#   --toolchain  the record of a release to reproduce: this machine's versions
#                must be the ones it lists
set -euo pipefail
# Debian's tools by their full paths: a python3, cmake or osslsigncode found
# earlier on PATH (pyenv, /usr/local) is not what TOOLCHAIN.txt names.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP
python=(/usr/bin/python3 -I)
osslsigncode=/usr/bin/osslsigncode
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)

refuse() {
  echo "release: $*" >&2
  exit 1
}
usage="usage: scripts/release.sh [--toolchain TOOLCHAIN.txt] [--sign KEY --timestamp-url URL \
[--password-file FILE] [--certs CHAIN.pem] [--pkcs11-module MODULE.so]] | --verify PACKAGE.zip"

# A password in the arguments is readable by every user of the machine (ps,
# /proc) and stays in the shell's history: refused before anything else.
for arg in "$@"; do
  case $arg in
    --pass | --pass=* | --password | --password=* | --pin | --pin=* | -pass | -pass=* | pass:*)
      refuse "a password on the command line is visible to every user of this machine and stays in" \
        "the shell's history: give it in a file (--password-file FILE) or in PROBE_SIGN_PASSWORD" ;;
  esac
done

absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
expected_toolchain='' sign_key='' timestamp_url='' password_file='' certs='' pkcs11_module='' verify=''
while [[ $# -gt 0 ]]; do
  [[ $# -ge 2 ]] || refuse "$1 needs a value; $usage"
  case $1 in
    --toolchain)
      [[ -f $2 ]] || refuse "--toolchain needs the TOOLCHAIN.txt of the release to reproduce"
      expected_toolchain=$(absolute "$2") ;;
    --sign) sign_key=$2 ;;
    --timestamp-url) timestamp_url=$2 ;;
    --password-file) [[ -f $2 ]] || refuse "no password file $2"; password_file=$(absolute "$2") ;;
    --certs) [[ -f $2 ]] || refuse "no certificate file $2"; certs=$(absolute "$2") ;;
    --pkcs11-module) [[ -f $2 ]] || refuse "no PKCS #11 module $2"; pkcs11_module=$2 ;;
    --verify) [[ -f $2 ]] || refuse "no package $2 to verify"; verify=$(absolute "$2") ;;
    *) refuse "$usage" ;;
  esac
  shift 2
done

if [[ -z $sign_key && -n $timestamp_url$password_file$certs$pkcs11_module ]]; then
  refuse "--timestamp-url, --password-file, --certs and --pkcs11-module go with --sign"
fi

# Private scratch space: the password, the certificates read from the key,
# the package being verified.
secrets=$(mktemp -d)
trap 'rm -rf "$secrets"' EXIT
chmod 700 "$secrets"

# The packages whose versions decide the bytes: the compiler, its C and C++
# runtimes and the Windows import libraries it links statically, the linker and
# resource compiler, the build tools, and the zip writer; for a signed
# release also the tool that lays the signature into the file, which --verify
# uses to attach it again.
toolchain_packages=(gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  mingw-w64-i686-dev mingw-w64-common cmake ninja-build python3)
if [[ -n $sign_key ]]; then
  toolchain_packages+=(osslsigncode)
fi
toolchain_record() {
  dpkg-query -W -f='${Package} ${Version}\n' "${toolchain_packages[@]}" | LC_ALL=C sort
}

# check_signing_key: the certificate that will sign, read with openssl before
# anything is built: it must open with the password given, be for code
# signing, and be valid now. Leaves signer.pem (leaf) and chain.pem in $secrets.
check_signing_key() {
  [[ -n $timestamp_url ]] || refuse "--sign needs --timestamp-url: a signature without a time-stamp stops" \
    "verifying when the certificate expires"
  [[ $timestamp_url =~ ^https?://[^[:space:]]+$ ]] || refuse "--timestamp-url $timestamp_url is no http(s) URL"
  [[ -x $osslsigncode ]] || refuse "no $osslsigncode (scripts/setup.sh installs it)"
  if [[ -n $password_file ]]; then
    head -n1 "$password_file" | tr -d '\r\n' >"$secrets/password"
  elif [[ -n ${PROBE_SIGN_PASSWORD+set} ]]; then
    printf '%s' "$PROBE_SIGN_PASSWORD" >"$secrets/password"
  else
    refuse "no password for $sign_key: give --password-file FILE or set PROBE_SIGN_PASSWORD"
  fi
  if [[ $sign_key == pkcs11:* ]]; then
    [[ -n $certs && -n $pkcs11_module ]] || refuse "a PKCS #11 key needs --certs CHAIN.pem and --pkcs11-module"
    engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
    [[ -f $engine ]] || refuse "no PKCS #11 engine at $engine (Debian's libengine-pkcs11-openssl)"
    openssl x509 -in "$certs" -out "$secrets/signer.pem" 2>/dev/null ||
      refuse "cannot read a certificate from $certs"
    cp "$certs" "$secrets/chain.pem"
  else
    [[ -z $certs$pkcs11_module ]] || refuse "--certs and --pkcs11-module go with a pkcs11: key only"
    [[ -f $sign_key ]] || refuse "no key file $sign_key"
    sign_key=$(absolute "$sign_key")
    openssl pkcs12 -in "$sign_key" -passin "file:$secrets/password" -nokeys -clcerts \
      -out "$secrets/signer.pem" 2>"$secrets/openssl.log" && [[ -s $secrets/signer.pem ]] ||
      refuse "cannot open the key $sign_key: not a PKCS #12 file, or not this password" \
        "($(head -n1 "$secrets/openssl.log"))"
    openssl pkcs12 -in "$sign_key" -passin "file:$secrets/password" -nokeys -out "$secrets/chain.pem" 2>/dev/null
  fi
  local subject usages now from until
  subject=$(openssl x509 -in "$secrets/signer.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
  usages=$(openssl x509 -in "$secrets/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null | sed 1d)
  [[ $usages == *"Code Signing"* ]] ||
    refuse "the certificate of $subject is not for code signing (its extended key usage: ${usages:-none})"
  now=$(date +%s)
  from=$(date -d "$(openssl x509 -in "$secrets/signer.pem" -noout -startdate | cut -d= -f2)" +%s)
  until=$(date -d "$(openssl x509 -in "$secrets/signer.pem" -noout -enddate | cut -d= -f2)" +%s)
  ((now >= from)) || refuse "the certificate of $subject is not valid before $(date -u -d "@$from")"
  ((now < until)) || refuse "the certificate of $subject expired on $(date -u -d "@$until")"
  echo "release: signing as $subject (valid until $(date -u -d "@$until" +%F)), time-stamps from $timestamp_url" >&2
}

# sign_exes DIR EXE...: DIR/<name> is EXE signed and time-stamped; refuses
# unless each signature verifies, is over the image, is time-stamped, and
# comes back byte for byte when attached to EXE again.
sign_exes() {
  local out=$1 exe name how=()
  shift
  if [[ $sign_key == pkcs11:* ]]; then
    how=(-pkcs11engine "$engine" -pkcs11module "$pkcs11_module" -certs "$secrets/chain.pem" -key "$sign_key")
  else
    how=(-pkcs12 "$sign_key")
  fi
  mkdir -p "$out"
  for exe in "$@"; do
    name=$(basename "$exe")
    rm -f "$out/$name" "$secrets/$name.p7" "$secrets/$name.again"
    # osslsigncode's exit status and messages change between its versions:
    # what it wrote decides.
    "$osslsigncode" sign "${how[@]}" -readpass "$secrets/password" -h sha256 -ts "$timestamp_url" \
      -in "$exe" -out "$out/$name" >"$secrets/sign.log" 2>&1 || true
    if [[ ! -s $out/$name ]] || ! "${python[@]}" scripts/release_sign.py report "$out/$name" >&2; then
      tail -n 5 "$secrets/sign.log" >&2
      refuse "signing $name failed (above): no signed, time-stamped exe from the key and $timestamp_url"
    fi
    "$osslsigncode" extract-signature -in "$out/$name" -out "$secrets/$name.p7" >/dev/null 2>&1 || true
    "$osslsigncode" attach-signature -sigin "$secrets/$name.p7" -in "$exe" -out "$secrets/$name.again" \
      >/dev/null 2>&1 || true
    cmp -s "$out/$name" "$secrets/$name.again" ||
      refuse "$name: its signature attached to the unsigned exe does not give the signed exe back"
  done
}

# verify_package: the check of a package against the source; exits.
verify_package() {
  local unpacked=$secrets/package src=$secrets/src dir rebuilt file name commit differ=0 own
  "${python[@]}" - "$verify" "$unpacked" <<'PY' || refuse "$verify is not a release package (above)"
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    tops = {n.split("/", 1)[0] for n in names}
    # One package folder; a file sits inside it (the callers' sources one
    # folder deeper), a folder may have an entry of its own.
    if len(tops) != 1 or any(n.startswith("/") or ".." in n.split("/") or
                             (not n.endswith("/") and "/" not in n) for n in names):
        sys.exit("entries outside one package folder: %s" % names)
    z.extractall(sys.argv[2])
PY
  dir=$(echo "$unpacked"/platform_probe-*-win32)
  [[ -d $dir && -f $dir/SOURCE.txt && -f $dir/TOOLCHAIN.txt && -f $dir/SHA256SUMS ]] ||
    refuse "$verify holds no package folder with SOURCE.txt, TOOLCHAIN.txt and SHA256SUMS"
  (cd "$dir" && sha256sum --quiet --strict -c SHA256SUMS >&2) || refuse "the package's files do not match its SHA256SUMS"
  [[ $(find "$dir" -mindepth 1 -type f ! -path "$dir/SHA256SUMS" -printf '%P\n' | LC_ALL=C sort) == \
     $(cut -c67- "$dir/SHA256SUMS" | LC_ALL=C sort) ]] || refuse "SHA256SUMS does not cover every file of the package"
  commit=$(sed -n 's/^commit \([0-9a-f]\{40\}\)$/\1/p' "$dir/SOURCE.txt")
  [[ -n $commit ]] || refuse "SOURCE.txt names no commit"
  mapfile -t toolchain_packages < <(cut -d' ' -f1 "$dir/TOOLCHAIN.txt")
  if ! diff <(tr -d '\r' <"$dir/TOOLCHAIN.txt") <(toolchain_record 2>/dev/null) >&2; then
    refuse "this machine's toolchain is not the package's (above: < the package's TOOLCHAIN.txt, > here)"
  fi
  git clone -q --no-checkout "$repo" "$src" 2>/dev/null && git -C "$src" checkout -q --detach "$commit" 2>/dev/null ||
    refuse "commit $commit is not in $repo: fetch it first"
  grep -v '^osslsigncode ' "$dir/TOOLCHAIN.txt" >"$secrets/build-toolchain.txt"
  echo "release: rebuilding $commit in a temporary clone" >&2
  bash "$src/scripts/release.sh" --toolchain "$secrets/build-toolchain.txt" >&2 || refuse "the rebuild failed"
  rebuilt=$(echo "$src"/dist/platform_probe-*-win32)
  # Every file of either, by its name inside the package (the callers' sources sit in folders).
  while IFS= read -r name; do
    file=$dir/$name
    [[ -f $rebuilt/$name ]] || { echo "release: $name DIFFERS: it is not in the rebuild" >&2; differ=1; continue; }
    [[ -f $dir/$name ]] || { echo "release: $name DIFFERS: the package lacks it" >&2; differ=1; continue; }
    case $name in
      TOOLCHAIN.txt | SHA256SUMS) continue ;;  # checked above; they name the signing tool and signed bytes
    esac
    own=$rebuilt/$name
    if [[ $name == *.exe ]] && "${python[@]}" scripts/release_sign.py signed "$file"; then
      rm -f "$secrets/sig.p7" "$secrets/attached.exe"
      "$osslsigncode" extract-signature -in "$file" -out "$secrets/sig.p7" >/dev/null 2>&1 || true
      "$osslsigncode" attach-signature -sigin "$secrets/sig.p7" -in "$own" -out "$secrets/attached.exe" \
        >/dev/null 2>&1 || true
      own=$secrets/attached.exe
      name="$name (signature attached to the rebuilt exe)"
    fi
    if cmp -s "$file" "$own"; then
      echo "release: $name is equal to the rebuild" >&2
    else
      echo "release: $name DIFFERS from the rebuild of $commit" >&2
      differ=1
    fi
  done < <({ find "$dir" "$rebuilt" -mindepth 1 -type f -printf '%P\n'; } | LC_ALL=C sort -u)
  "${python[@]}" scripts/release_sign.py report --unsigned-ok "$dir"/*.exe >&2 || differ=1
  ((differ == 0)) || refuse "$(basename "$verify") is NOT what commit $commit builds to (above)"
  echo "release: $(basename "$verify") is commit $commit, rebuilt bit for bit" >&2
  exit 0
}

if [[ -n $verify ]]; then
  [[ -z $sign_key$timestamp_url$expected_toolchain ]] || refuse "--verify takes the package alone"
  verify_package
fi
git rev-parse --verify -q HEAD >/dev/null || refuse "not a git checkout with a commit"
changes=$(git status --porcelain --untracked-files=all)
if [[ -n $changes ]]; then
  printf '%s\n' "$changes" | head -n 20 >&2
  refuse "the tree differs from its commit; a release is built from a clean checkout only"
fi

version=$(head -n1 VERSION)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || refuse "VERSION holds '$version', not MAJOR.MINOR.PATCH"
commit=$(git rev-parse HEAD)
release_name=$version-dev.g${commit:0:12}
for tag in $(git tag --points-at HEAD 'v*'); do
  [[ $tag == "v$version" ]] || refuse "HEAD is tagged $tag but VERSION says $version"
  release_name=$version
done
# The commit's own time: the same for everyone who checks it out.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
umask 022

bash scripts/setup.sh >&2
if [[ -n $sign_key ]]; then
  check_signing_key
fi
toolchain=$(toolchain_record) || refuse "cannot read the toolchain's package versions"
if [[ -n $expected_toolchain ]]; then
  if ! diff <(tr -d '\r' <"$expected_toolchain") <(printf '%s\n' "$toolchain") >&2; then
    refuse "this machine's toolchain is not the one $expected_toolchain records (above: < recorded, > here)"
  fi
fi
# No package of this name stays behind from an earlier run, signed or not.
dist=$repo/dist
package=platform_probe-$release_name-win32
rm -rf "${dist:?}/$package" "$dist/$package.zip"
echo "release: $release_name from $commit (commit time $SOURCE_DATE_EPOCH)" >&2

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
keys=$secrets
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
"${python[@]}" scripts/release_pack.py check --epoch "$SOURCE_DATE_EPOCH" "${key_args[@]}" \
  --forbid "$repo" --forbid "$build" "${exes[@]}" >&2 ||
  refuse "the built exes are not fit to ship (above)"
bash tests/e2e/exe_shape.sh resources "$build/platform_probe.exe" \
  /usr/bin/i686-w64-mingw32-windres "$(sed -E 's/^([0-9]+\.[0-9]+\.[0-9]+)$/\1.0/' <<<"$version")" >&2 ||
  refuse "the version resource does not carry $version"

if [[ -n $sign_key ]]; then
  sign_exes "$build/signed" "${exes[@]}"
  exes=("$build/signed/platform_probe.exe" "$build/signed/platform_probe_diag.exe")
fi

mkdir -p "$dist"
printf '%s\n' "$toolchain" >"$build/TOOLCHAIN.txt"
printf 'version %s\ncommit %s\n' "$release_name" "$commit" >"$build/SOURCE.txt"
"${python[@]}" scripts/release_pack.py pack --version "$release_name" --epoch "$SOURCE_DATE_EPOCH" \
  --calling release/CALLING.txt --toolchain "$build/TOOLCHAIN.txt" --source "$build/SOURCE.txt" \
  --tree "$repo" --caller-version "$version" --out "$dist" "${exes[@]}"
echo "release: $dist/$package.zip" >&2
