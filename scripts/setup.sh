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
)
# Any osslsigncode already here is kept. apt offers 2.5: -time, -nest and
# time-stamps through -t/-ts URLs, but no built-in time-stamp authority (-TSA-*).
command -v osslsigncode >/dev/null || packages+=(osslsigncode)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$package")
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
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
