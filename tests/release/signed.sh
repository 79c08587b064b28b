#!/usr/bin/env bash
# A signed release, on a throwaway PKI made here (a code-signing leaf, its CA,
# a root, a time-stamping authority; the keys are removed on exit) and an
# RFC 3161 responder on the loopback address: the refusals first (each before
# anything is packaged), then a signed release whose signatures verify and are
# time-stamped, the reading of hostile signatures, --verify of the package and
# of a forged one, and the signed exe under Wine with and without the
# throwaway root trusted.
#
# usage: signed.sh WORK [BUILD]
#   WORK   scratch directory (emptied)
#   BUILD  the directory of the windows-i686 and windows-x86_64 builds (default
#          build): their e2e_sigcheck and e2e_install_certs judge the signed
#          exe under Wine. Where this host cannot execute 32-bit programs, the
#          x86_64 probe of the same source is signed the same way and run in
#          64-bit Wine instead.
# Prints one "ok   ..." or "FAIL ..." line per check; exit 1 when any failed.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
builds=$(cd "${2:-$repo/build}" && pwd)
failures=0
ok() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
python=/usr/bin/python3
source "$repo/tests/release/clone.sh"

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
src=$work/src
clone_tree "$repo" "$src" "$(date -u +%s) +0000"
head=$(git -C "$src" rev-parse HEAD)

pki=$work/pki
responder=
cleanup() {
  [[ -z $responder ]] || kill "$responder" 2>/dev/null || true
  rm -rf "$pki"
  if [[ -n ${WINEPREFIX:-} ]]; then wine_env_stop; fi
}
trap cleanup EXIT
"$python" "$repo/tests/release/make_sign_pki.py" "$pki"
cat "$pki/ca.pem" "$pki/root.pem" >"$pki/chain.pem"
cat "$pki/tsa.pem" "$pki/root.pem" >"$pki/tsa-chain.pem"
printf 'correct horse battery staple\n' >"$pki/password"
printf 'wrong\n' >"$pki/wrong"
for name in leaf tls expired multi; do
  openssl pkcs12 -export -in "$pki/$name.pem" -inkey "$pki/$name.key" -certfile "$pki/chain.pem" \
    -passout "file:$pki/password" -out "$pki/$name.p12"
done

"$python" "$repo/tests/release/rfc3161_responder.py" --port-file "$work/tsa.port" --cert "$pki/tsa.pem" \
  --key "$pki/tsa.key" --chain "$pki/tsa-chain.pem" --max-requests 32 --timeout 3600 &
responder=$!
for _ in $(seq 50); do [[ -s $work/tsa.port ]] && break; sleep 0.2; done
url=http://127.0.0.1:$(cat "$work/tsa.port")/
# A port nothing listens on: bound by the system, then closed.
dead=http://127.0.0.1:$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')/

release() {  # LOG ARG...: scripts/release.sh in the clone
  local log=$1
  shift
  (cd "$src" && bash scripts/release.sh "$@") >"$log" 2>&1
}

# refused WHAT PATTERN ARG...: release.sh must fail saying PATTERN and leave no package.
refused() {
  local what=$1 pattern=$2
  shift 2
  if release "$work/refusal.log" "$@"; then
    fail "release.sh accepted $what"
  elif ! grep -q -- "$pattern" "$work/refusal.log"; then
    fail "release.sh failed on $what without saying '$pattern': $(tail -n 3 "$work/refusal.log")"
  elif compgen -G "$src/dist/platform_probe-*" >/dev/null; then
    fail "release.sh refused $what but left a package behind"
  else
    ok "release.sh refuses $what: $(grep -m1 -- "$pattern" "$work/refusal.log")"
  fi
}
p12=(--password-file "$pki/password" --timestamp-url "$url" --sign)
refused "a password on the command line" "password on the command line" "${p12[@]}" "$pki/leaf.p12" --password x
refused "a wrong password" "cannot open the key" --password-file "$pki/wrong" --timestamp-url "$url" \
  --sign "$pki/leaf.p12"
refused "a key file that is no PKCS #12" "cannot open the key" "${p12[@]}" "$pki/leaf.pem"
refused "a certificate for TLS servers only" "is not for code signing" "${p12[@]}" "$pki/tls.p12"
refused "an expired certificate" "expired on" "${p12[@]}" "$pki/expired.p12"
refused "a signature without a time-stamp URL" "needs --timestamp-url" --password-file "$pki/password" \
  --sign "$pki/leaf.p12"
# A leaf whose usages name code signing among others passes the key checks,
# is built, and is then refused for the time-stamp server that does not answer.
refused "a time-stamp server that does not answer" "signing platform_probe.exe failed" \
  --password-file "$pki/password" --timestamp-url "$dead" --sign "$pki/multi.p12"
grep -q "signing as CN=multi" "$work/refusal.log" && ok "a leaf with code signing among its usages passes" ||
  fail "the leaf with code signing among its usages was not accepted: $(grep -m1 release: "$work/refusal.log")"

# The signed release; the password from the environment this time.
if ! PROBE_SIGN_PASSWORD=$(head -n1 "$pki/password") release "$work/signed.log" --timestamp-url "$url" \
    --sign "$pki/leaf.p12"; then
  tail -n 20 "$work/signed.log"
  fail "the signed release"
  exit 1
fi
package=$(echo "$src"/dist/platform_probe-*-win32)
zip=$package.zip
"$python" "$repo/scripts/release_sign.py" report "$package"/*.exe >"$work/report.log" 2>&1 &&
  [[ $(grep -c ' time-stamped .* by CN=tsa,' "$work/report.log") -eq 2 ]] &&
  ok "both exes carry a verifying, time-stamped signature: $(tr '\n' ' ' <"$work/report.log")" ||
  fail "the package's signatures: $(cat "$work/report.log")"
[[ $package == *"-dev.g${head:0:12}-win32" ]] &&
  grep -qx "commit $head" "$package/SOURCE.txt" &&
  ok "an untagged commit ships as $(basename "$package"), recording commit $head" ||
  fail "the package's name or SOURCE.txt: $(basename "$package"), $(cat "$package/SOURCE.txt")"
grep -qx "osslsigncode $(dpkg-query -W -f='${Version}' osslsigncode)" "$package/TOOLCHAIN.txt" &&
  (cd "$package" && sha256sum --quiet -c SHA256SUMS) &&
  ok "TOOLCHAIN.txt names the osslsigncode that signed; SHA256SUMS covers the signed exes" ||
  fail "TOOLCHAIN.txt or SHA256SUMS of the signed package"

# The same through a PKCS #11 token: SoftHSM holding the leaf's key, the PIN
# in a file, the chain beside it.
module=/usr/lib/softhsm/libsofthsm2.so
if [[ ! -f $module ]] || ! command -v softhsm2-util >/dev/null; then
  echo "skip signing through a PKCS #11 token: no SoftHSM (softhsm2) here"
else
  export SOFTHSM2_CONF=$pki/softhsm2.conf
  mkdir -p "$pki/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$pki/tokens" >"$SOFTHSM2_CONF"
  printf '1234\n' >"$pki/pin"
  cat "$pki/leaf.pem" "$pki/chain.pem" >"$pki/leaf-chain.pem"
  softhsm2-util --init-token --free --label release --pin 1234 --so-pin 4321 >/dev/null &&
    softhsm2-util --import "$pki/leaf.key" --token release --label signer --id 01 --pin 1234 >/dev/null
  mkdir -p "$work/p12"
  mv "$package" "$zip" "$work/p12/"
  if release "$work/pkcs11.log" --sign 'pkcs11:token=release;object=signer;type=private' --certs "$pki/leaf-chain.pem" \
      --pkcs11-module "$module" --password-file "$pki/pin" --timestamp-url "$url" &&
      "$python" "$repo/scripts/release_sign.py" report "$package"/*.exe >"$work/report.log" 2>&1 &&
      [[ $(grep -c ' time-stamped .* by CN=tsa,' "$work/report.log") -eq 2 ]]; then
    ok "a PKCS #11 token (SoftHSM) signs both exes: $(grep -m1 'signed by' "$work/report.log")"
  else
    fail "signing through a PKCS #11 token: $(grep -v '^\[' "$work/pkcs11.log" | tail -n 5)"
  fi
  rm -rf "$package" "$zip"
  mv "$work/p12/$(basename "$package")" "$work/p12/$(basename "$zip")" "$src/dist/"
fi

# Signatures that must not pass as good, read from the bytes.
probe=$package/platform_probe.exe
unsigned=$src/build/release
flip() { "$python" -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[0x400] ^= 1
open(sys.argv[2], "wb").write(b)' "$1" "$2"; }
flip "$probe" "$work/flipped.exe"
osslsigncode extract-signature -in "$package/platform_probe_diag.exe" -out "$work/diag.p7" >/dev/null 2>&1 || true
osslsigncode attach-signature -sigin "$work/diag.p7" -in "$unsigned/platform_probe.exe" -out "$work/lifted.exe" \
  >/dev/null 2>&1 || true
osslsigncode sign -pkcs12 "$pki/leaf.p12" -readpass "$pki/password" -h sha256 \
  -in "$unsigned/platform_probe.exe" -out "$work/unstamped.exe" >/dev/null 2>&1 || true
while IFS='|' read -r file pattern what; do
  if ! "$python" "$repo/scripts/release_sign.py" report "$work/$file" >"$work/bad.log" 2>&1 &&
      grep -q "$pattern" "$work/bad.log"; then
    ok "the signature reader refuses $what"
  else
    fail "the signature reader on $what: $(cat "$work/bad.log")"
  fi
done <<'ROWS'
flipped.exe|is not the image's|a signed exe with one code byte changed
lifted.exe|is not the image's|the other exe's signature attached
unstamped.exe|0 RFC 3161 time-stamps|a signature without a time-stamp
ROWS

# --verify refuses a package whose sums do not hold, or from another toolchain, before rebuilding.
repack() {  # DIR ZIP: DIR's files, with fresh sums, zipped as one package folder
  (cd "$1" && sha256sum $(cut -c67- SHA256SUMS) >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)
  "$python" -c 'import os, sys, zipfile
d = sys.argv[1]
with zipfile.ZipFile(sys.argv[2], "w") as z:
    for top, _, names in sorted(os.walk(d)):
        for n in sorted(names):
            path = os.path.join(top, n)
            z.write(path, os.path.basename(d) + "/" + os.path.relpath(path, d))' "$1" "$2"
}
verify_refused() {  # WHAT PATTERN ZIP
  if release "$work/verify.log" --verify "$3"; then
    fail "--verify accepted $1"
  elif grep -q -- "$2" "$work/verify.log"; then
    ok "--verify refuses $1: $(grep -m1 -- "$2" "$work/verify.log")"
  else
    fail "--verify on $1 did not say '$2': $(tail -n 5 "$work/verify.log")"
  fi
}
forged=$work/forged/$(basename "$package")
mkdir -p "$work/forged"
cp -r "$package" "$forged"
cp "$work/flipped.exe" "$forged/platform_probe.exe"
"$python" -m zipfile -c "$work/bad-sums.zip" "$forged" >/dev/null
verify_refused "a package whose files do not match SHA256SUMS" "do not match its SHA256SUMS" "$work/bad-sums.zip"
cp "$probe" "$forged/platform_probe.exe"
sed -i 's/^osslsigncode .*/osslsigncode 0.1-other/' "$forged/TOOLCHAIN.txt"
repack "$forged" "$work/other-tool.zip"
verify_refused "a package signed with another osslsigncode" "toolchain is not the package's" "$work/other-tool.zip"

# The package against its source: rebuilt, the signatures attached, equal.
if release "$work/verify.log" --verify "$zip" &&
    [[ $(grep -c 'exe (signature attached to the rebuilt exe) is equal to the rebuild' "$work/verify.log") -eq 2 ]]; then
  ok "--verify rebuilds $head and finds the package's exes: $(grep -m1 'bit for bit' "$work/verify.log")"
else
  fail "--verify of the signed package: $(grep -v '^\[' "$work/verify.log" | tail -n 8)"
fi
# A forged package: the companion built from other code and signed with the
# same key and time-stamp server, its sums made anew. Every check of the
# bytes in hand passes; only the rebuild can tell.
cp "$package/TOOLCHAIN.txt" "$forged/TOOLCHAIN.txt"
flip "$unsigned/platform_probe_diag.exe" "$work/diag-other.exe"
rm -f "$forged/platform_probe_diag.exe"
osslsigncode sign -pkcs12 "$pki/leaf.p12" -readpass "$pki/password" -h sha256 -ts "$url" \
  -in "$work/diag-other.exe" -out "$forged/platform_probe_diag.exe" >/dev/null 2>&1 || true
repack "$forged" "$work/forged.zip"
verify_refused "a package whose companion is other code, signed with the release key" \
  "platform_probe_diag.exe (signature attached to the rebuilt exe) DIFFERS" "$work/forged.zip"
grep -q "platform_probe.exe (signature attached to the rebuilt exe) is equal" "$work/verify.log" &&
  ok "--verify names only the file that differs" || fail "--verify did not find the genuine exe equal"

# Under Wine: the signed probe still answers {} and exits 0; the platform's
# chain engine finds the signature's chain ending in an untrusted root until
# the throwaway root is installed. (Wine's trust verdict accepts SHA-256
# chains to an untrusted root, so the chain status is what is judged.)
source "$repo/scripts/wine_env.sh"
arch=win32 bin=$builds/windows-i686/e2e/bin
if ! wine_env_arch_reason win32 >/dev/null; then
  arch=win64 bin=$builds/windows-x86_64/e2e/bin
  rm -f "$work/probe64.exe"
  osslsigncode sign -pkcs12 "$pki/leaf.p12" -readpass "$pki/password" -h sha256 -ts "$url" \
    -in "$builds/windows-x86_64/platform_probe.exe" -out "$work/probe64.exe" >/dev/null 2>&1 || true
  probe=$work/probe64.exe
fi
if ! reason=$(wine_env_arch_reason $arch); then
  echo "skip the signed exe under Wine: $reason"
elif [[ ! -f $bin/e2e_sigcheck.exe || ! -f $bin/e2e_install_certs.exe || ! -f $probe ]]; then
  fail "no signed probe, e2e_sigcheck.exe and e2e_install_certs.exe ($bin) to run under $arch Wine"
elif ! wine_env_fresh "$work/wine" $arch; then
  fail "no $arch Wine prefix at $work/wine"
else
  dir=$WINEPREFIX/drive_c/signed
  mkdir -p "$dir"
  cp "$probe" "$dir/platform_probe.exe"
  cp "$bin/e2e_sigcheck.exe" "$bin/e2e_install_certs.exe" "$pki/root.pem" "$dir/"
  status=0
  wine_env_run "$work/probe.out" "$work/probe.err" -- 'C:\signed\platform_probe.exe' || status=$?
  [[ $status -eq 0 && $(tr -d '\r' <"$work/probe.out") == '{}' ]] &&
    ok "the signed probe under $arch Wine prints {} and exits 0" ||
    fail "the signed probe under $arch Wine: exit $status, output '$(head -c 200 "$work/probe.out")'"
  chain_status() {  # the chain status e2e_sigcheck reports for the signed probe
    wine_env_run "$work/sigcheck.out" "$work/sigcheck.err" -- 'C:\signed\e2e_sigcheck.exe' \
      'C:\signed\platform_probe.exe' || true
    tr -d '\r' <"$work/sigcheck.out" | sed -n -e 's/^trust: 0x\([0-9a-fA-F]*\)$/trust \1/p' \
      -e 's/^chain: .* \([0-9]*\) elements, status 0x\([0-9a-fA-F]*\) .*/chain \1 \2/p' | tr '\n' ' '
  }
  install() {  # STORE FILE...: into the prefix's machine stores
    wine_env_run "$work/install.out" "$work/install.err" -- 'C:\signed\e2e_install_certs.exe' "$@" || true
  }
  # The machine's chain engine does not look into the signature's own
  # certificates: the CA and the root are made known first, the root as a
  # mere intermediate (not trusted), then installed as a trusted root.
  cp "$pki/ca.pem" "$dir/"
  install CA 'C:\signed\ca.pem' 'C:\signed\root.pem'
  read -r _ trust_before _ elements before <<<"$(chain_status)"
  install Root 'C:\signed\root.pem'
  read -r _ trust_after _ elements_after after <<<"$(chain_status)"
  # CERT_TRUST_IS_UNTRUSTED_ROOT (0x20) until the root is trusted; Wine's
  # trust verdict may accept both times.
  if [[ -n $before && -n $after && $elements$elements_after == 33 ]] && ((0x$before & 0x20)) &&
      ! ((0x$after & 0x20)); then
    ok "under $arch Wine the signer's chain of 3 has status 0x$before (trust 0x$trust_before) without the" \
      "root, 0x$after (trust 0x$trust_after) with it"
  else
    fail "the signer's chain under $arch Wine: $(grep -E '^(trust|chain):' "$work/sigcheck.out" | tr -d '\r' | tr '\n' ' ')" \
      "(before: '${elements:-} ${before:-}')"
  fi
fi

echo "signed release: $failures check(s) failed"
[[ $failures -eq 0 ]]
