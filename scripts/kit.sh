#!/usr/bin/env bash
# Builds the self-test kit from the checked-out tree:
#   dist/platform_probe-<version>-selftest.zip          (KIT_ARCH=i686, the shipped width)
#   dist/platform_probe-<version>-x86_64-selftest.zip   (KIT_ARCH=x86_64, a test vehicle)
#
# A throwaway PKI is issued for every kit (build/kit-<arch>/pki): the pinned
# chain, every end-to-end family and the time-stamping authority, each issued
# certificate naming a CRL distribution point that nothing serves, and a CRL
# from every CA. The kit's own build (build/kit-<arch>/tree) pins that chain,
# and the fake runtime libraries are signed with it; then every private key is
# deleted and the zip is written. It holds selftest.exe, SELFTEST.txt,
# scenarios.txt (scripts/kit_scenarios.sh), the probes (app/test-pinned,
# app/release), fixtures/, bin/, plant/ and certs/{root,ca,crl}.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
arch=${KIT_ARCH:-i686}
case $arch in i686) suffix='' ;; x86_64) suffix=-x86_64 ;; *) echo "kit: KIT_ARCH is i686 or x86_64" >&2; exit 1 ;; esac
version=$(head -n1 VERSION)
build=$repo/build/kit-$arch
pki=$build/pki
stage=$build/stage
zip=$repo/dist/platform_probe-$version$suffix-selftest.zip
# Certificates name it; no CRL is ever fetched (they are installed), and
# nothing listens there.
export PKI_CRL_URL=http://127.0.0.1:9/stp-selftest.crl

echo "== kit: a throwaway PKI"
rm -rf "$pki" "$stage"
mkdir -p "$pki/pinned" "$pki/e2e" "$stage"
(
  # shellcheck source=make_release_pki.sh
  source scripts/make_release_pki.sh
  issue_chain "$pki/pinned" "$pki/pinned" 7E57 sha1
)
E2E_PINNED_DIR=$pki/pinned bash scripts/make_e2e_pki.sh "$pki/e2e" >/dev/null

# A CRL from every CA whose key the kit holds, revoking nothing.
crl_work=$(mktemp -d)
trap 'rm -rf "$crl_work"' EXIT
cat >"$crl_work/crl.cnf" <<CNF
[ ca ]
default_ca = crl_ca
[ crl_ca ]
database = $crl_work/index.txt
crlnumber = $crl_work/crlnumber
default_md = sha256
default_crl_days = 3650
crl_extensions = crl_ext
[ crl_ext ]
authorityKeyIdentifier = keyid:always
CNF
mkdir -p "$stage/certs/crl" "$stage/certs/root" "$stage/certs/ca"
for key in "$pki"/pinned/*.key "$pki"/e2e/*.key; do
  cert=${key%.key}.pem
  [[ -f $cert ]] && openssl x509 -in "$cert" -noout -ext basicConstraints 2>/dev/null | grep -q 'CA:TRUE' || continue
  : >"$crl_work/index.txt"
  echo 01 >"$crl_work/crlnumber"
  family=$(basename "$(dirname "$key")")
  openssl ca -gencrl -config "$crl_work/crl.cnf" -keyfile "$key" -cert "$cert" \
    -out "$stage/certs/crl/$family-$(basename "$cert" .pem).crl" 2>/dev/null
done
# The roots and CAs of a test machine, as tests/e2e/matrix.sh sets one up
# (less the user's own root, which the kit does not add).
while read -r rel; do
  [[ -n $rel ]] && cp "$pki/e2e/$rel" "$stage/certs/root/$(basename "$(dirname "$pki/e2e/$rel")")-$(basename "$rel")"
done <"$pki/e2e/trusted-roots.txt"
for rel in pinned/zone.pem pinned/l1.pem e2e/wrongkey-zone.pem e2e/wrongkey-l1.pem \
  e2e/forged-zone.pem e2e/forgedu-zone.pem e2e/unlisted-ca.pem; do
  cp "$pki/$rel" "$stage/certs/ca/${rel//\//-}"
done

echo "== kit: build ($arch)"
plants=$(sed -n 's/^readonly kPlantNames="\(.*\)"$/\1/p' tests/e2e/matrix.sh)
targets=(platform_probe platform_probe_diag platform_probe_test_pinned platform_probe_diag_test_pinned
  e2e_fixtures e2e_stp_helper e2e_sigcheck selftest)
for name in $plants; do targets+=("e2e_plant_$name"); done
cmake -S . -B "$build/tree" -G Ninja --toolchain "cmake/toolchain-$arch-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel "-DPROBE_TEST_PINS_DIR=$pki/pinned" "-DPROBE_E2E_PKI_DIR=$pki/e2e" \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build/tree" --parallel "${PROBE_JOBS:-2}" --target "${targets[@]}"

echo "== kit: stage"
tree=$build/tree
mkdir -p "$stage/app/test-pinned" "$stage/app/release" "$stage/fixtures" "$stage/bin" "$stage/plant"
cp "$tree/selftest/selftest.exe" "$stage/"
cp "$tree/test-pinned/platform_probe.exe" "$tree/test-pinned/platform_probe_diag.exe" "$stage/app/test-pinned/"
cp "$tree/platform_probe.exe" "$tree/platform_probe_diag.exe" "$stage/app/release/"
cp "$tree"/e2e/fixtures/*.dll "$stage/fixtures/"
cp "$tree/e2e/bin/stphelper.dll" "$tree/e2e/bin/e2e_sigcheck.exe" "$stage/bin/"
for name in $plants; do cp "$tree/e2e/plant/$name.dll" "$stage/plant/"; done
bash scripts/kit_scenarios.sh >"$stage/scenarios.txt"
sed "s/@VERSION@/$version/; s/@ARCH@/$arch/" selftest/SELFTEST.txt >"$stage/SELFTEST.txt"

# Every private key of the kit goes before anything is packed: a root left on
# a machine by accident can then sign nothing.
find "$pki" -name '*.key' -delete
mkdir -p dist
rm -f "$zip"
(cd "$stage" && find . -type f | LC_ALL=C sort | zip -qX -@ "$zip")
echo "kit written to $zip ($(find "$stage" -type f | wc -l) files; scenarios: $(grep -vc '^#' "$stage/scenarios.txt"))"
