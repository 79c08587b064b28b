#!/usr/bin/env bash
# Installs, with apt, what building and testing the probe needs and is not yet
# on this Debian 12 machine. When everything is there it only looks.
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-win32 # the exe: 32-bit Windows, win32 threads flavour
  g++-mingw-w64-x86-64-win32 # the same source for x86_64, the test vehicle
  wine wine32:i386         # running the exe
  wine64                   # the x86_64 build, where 32-bit programs cannot run
  gcc-multilib g++-multilib
  clang-14 libclang-rt-14-dev
  openssl
  python3                  # the e2e tests' time-stamp responder; the mutation check
  mono-mcs mono-runtime    # the C# example: compiled with mcs, run with mono
  nodejs                   # the Node example
  python3-cryptography     # reading the release's signatures; the signing tests' throwaway PKI
  softhsm2 libengine-pkcs11-openssl # a signing key on a PKCS #11 token, tested with a soft token
)
# osslsigncode signs the release and lays its signatures into a rebuild again
# (scripts/release.sh --verify), so a signed release records its version, and
# it is pinned: Debian 12's backport, which the end-to-end fixtures need too
# (bookworm's own 2.5 has no built-in time-stamping authority, -TSA-*).
osslsigncode_pin=2.9-1~bpo12+1
if [[ $(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true) != "$osslsigncode_pin" ]]; then
  packages+=("osslsigncode=$osslsigncode_pin")
fi

# Where the mirror gave no usable i386 index a short while ago (below), the
# i386 packages are not asked for again: every release build calls this.
no_i386=${TMPDIR:-/tmp}/platform_probe-setup-no-i386
if [[ -n $(find "$no_i386" -mmin -360 2>/dev/null) ]]; then
  for i in "${!packages[@]}"; do
    [[ ${packages[$i]} != *:i386 ]] || unset 'packages[i]'
  done
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "${package%%=*}" 2>/dev/null || true)
  [[ $status == installed && $package != *=* ]] || missing+=("$package")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: missing packages, and not root to install them: ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
# The pinned osslsigncode comes from bookworm-backports, from the mirror the
# system's bookworm packages come from.
if [[ " ${missing[*]} " == *" osslsigncode="* ]] && ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d; then
  mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
    "${mirror:?no bookworm mirror in /etc/apt/sources.list.d/debian.sources}" \
    /usr/share/keyrings/debian-archive-keyring.gpg | "${as_root[@]}" tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
fi
# A mirror caught mid-sync fails one index now and serves it a minute later:
# each step is tried a few times, and the install runs on whatever indexes the
# last update left (it fails by itself when a package cannot be found).
for try in 1 2 3; do
  "${as_root[@]}" apt-get update -q && break
  echo "setup: apt-get update failed (try $try of 3)" >&2
  sleep $((try * 10))
done
for try in 1 2; do
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" && exit 0
  echo "setup: apt-get install failed (try $try of 2)" >&2
  sleep 10
  "${as_root[@]}" apt-get update -q || true
done
# A mirror that serves no usable i386 index leaves 32-bit Wine out of reach;
# everything else is still installed, and the 32-bit runs are then skipped and
# counted as skipped, as on a host that cannot execute 32-bit programs.
native=()
for package in "${missing[@]}"; do
  [[ $package == *:i386 ]] || native+=("$package")
done
if [[ ${#native[@]} -ne ${#missing[@]} ]] &&
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${native[@]}"; then
  date >"$no_i386"
  echo "setup: the i386 packages could not be installed from this mirror; 32-bit Wine is left out," \
    "and the runs that need it will be skipped" >&2
  exit 0
fi
exit 1
