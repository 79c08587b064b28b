#!/usr/bin/env bash
# Signs the fake runtime libraries into the files the end-to-end scenarios
# place as the cloud copy (STP32.dll) and the client copy (StpRuntimeSdk.dll).
#
# usage: make_fixtures.sh BIN_DIR OUT_DIR
#   BIN_DIR holds the unsigned fake libraries: fake_cloud.dll,
#   fake_cloud_no_init2.dll, fake_client.dll
#   OUT_DIR receives one file per fixture (the names below) and a manifest.txt
#
# Every input the probe looks at is fixed: keys, certificates, signing times,
# RFC 3161 genTimes, the counter-signature time that the loopback responder is
# asked for. RSA PKCS #1 v1.5 signatures are deterministic, so the files come
# out the same on every run except for the serial number that osslsigncode's
# time-stamping authority draws at random for each RFC 3161 token.
# Needs osslsigncode (2.9 or later: -TSA-*) and python3 (the responder).
set -euo pipefail

bin=$1
out=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# E2E_PKI_DIR and E2E_PINNED_DIR name another PKI (the self-test kit's).
pki=${E2E_PKI_DIR:-$repo/tests/pki/e2e}
pinned=${E2E_PINNED_DIR:-$repo/tests/pki/pinned}

for tool in osslsigncode python3; do
  command -v "$tool" >/dev/null || {
    echo "make_fixtures: $tool is needed" >&2
    exit 1
  }
done

mkdir -p "$out"
work=$(mktemp -d)
responder_pid=
cleanup() {
  if [[ -n $responder_pid ]]; then
    kill "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Times (Unix seconds, UTC).
S=1714564800   # 2024-05-01 12:00:00, the usual signing time
S30=1714564830 # 2024-05-01 12:00:30
S60=1714564860 # 2024-05-01 12:01:00

# chain FILE PEM...: one PEM file holding the certificates the signature carries
chain() {
  local file=$work/$1
  shift
  cat "$@" >"$file"
  echo "$file"
}
c1=$(chain c1.pem "$pki"/c1-leaf.pem "$pki"/c1-ca.pem "$pki"/c1-g5.pem "$pki"/c1-root.pem)
c4=$(chain c4.pem "$pki"/c4-leaf.pem "$pki"/c4-ca.pem)
c4wrong=$(chain c4wrong.pem "$pki"/c4-wrongcase-leaf.pem "$pki"/c4-ca.pem)
# Look-alikes of an allowed company name under that name's CAs (see
# scripts/make_e2e_pki.sh), and the leaf carried twice, byte for byte, as some
# signing pipelines' chain files list it.
c4kelvin=$(chain c4kelvin.pem "$pki"/c4-kelvin-leaf.pem "$pki"/c4-ca.pem)
c4fullwidth=$(chain c4fullwidth.pem "$pki"/c4-fullwidth-leaf.pem "$pki"/c4-ca.pem)
c4nul=$(chain c4nul.pem "$pki"/c4-nul-leaf.pem "$pki"/c4-ca.pem)
c13dotless=$(chain c13dotless.pem "$pki"/c13-dotless-leaf.pem "$pki"/c13-ca.pem "$pki"/c13-root.pem)
c4twice=$(chain c4twice.pem "$pki"/c4-leaf.pem "$pki"/c4-leaf.pem "$pki"/c4-ca.pem)
c12=$(chain c12.pem "$pki"/c12-leaf.pem "$pki"/c12-ca.pem)
c13=$(chain c13.pem "$pki"/c13-leaf.pem "$pki"/c13-ca.pem "$pki"/c13-root.pem)
c6u=$(chain c6u.pem "$pki"/c6u-leaf.pem "$pki"/c6u-ca.pem "$pki"/c6u-root.pem)
tsa=$(chain tsa.pem "$pki"/tsa.pem "$pki"/tsa-root.pem)
pinned_ok=$(chain pinned.pem "$pinned"/leaf.pem "$pinned"/zone.pem "$pinned"/l1.pem)
pinned_twice=$(chain pinned-twice.pem "$pinned"/leaf.pem "$pinned"/leaf.pem "$pinned"/zone.pem "$pinned"/l1.pem)
pinned_expired=$(chain pinned-expired.pem "$pki"/pinned-expired-leaf.pem "$pinned"/zone.pem "$pinned"/l1.pem)
pinned_wrongname=$(chain pinned-wrongname.pem "$pki"/pinned-wrongname-leaf.pem "$pinned"/zone.pem "$pinned"/l1.pem)
pinned_wrongkey=$(chain pinned-wrongkey.pem "$pki"/wrongkey-leaf.pem "$pki"/wrongkey-zone.pem "$pki"/wrongkey-l1.pem)
forged=$(chain forged.pem "$pki"/forged-leaf.pem "$pki"/forged-zone.pem)
forgedu=$(chain forgedu.pem "$pki"/forgedu-leaf.pem "$pki"/forgedu-zone.pem)
decoy=$(chain decoy.pem "$pki"/decoy-leaf.pem "$pki"/decoy-ca.pem)
# The hidden zone CA is not carried: only its URL names it.
url_hidden=$(chain url-hidden.pem "$pki"/url-leaf.pem)
url_pinned=$(chain url-pinned.pem "$pki"/url-pinned-leaf.pem "$pinned"/zone.pem "$pinned"/l1.pem)
# Look-alike chains an attacker can make (see scripts/make_e2e_pki.sh).
lookalike=$(chain lookalike.pem "$pki"/lookalike-leaf.pem "$pki"/lookalike-ca.pem "$pki"/lookalike-g5-root.pem)
lookalike_pinned=$(chain lookalike-pinned.pem "$pki"/lookalike-pinned-leaf.pem "$pki"/lookalike-zone.pem "$pinned"/l1.pem)

# The legacy time-stamp responder, on loopback, for this run only.
python3 "$here/legacy_tsa.py" --certs "$tsa" --key "$pki/tsa.key" --port-file "$work/port" \
  --max-requests 16 --timeout 120 &
responder_pid=$!
for _ in $(seq 100); do
  [[ -s $work/port ]] && break
  sleep 0.1
done
[[ -s $work/port ]] || {
  echo "make_fixtures: the time-stamp responder did not start" >&2
  exit 1
}
legacy_url="http://127.0.0.1:$(cat "$work/port")"

: >"$work/manifest.txt"
# sign OUT IN CERTS KEY TIME [STAMP] [-nest]
#   STAMP: none | rfc3161:<genTime> | legacy:<counter-signature time>
sign() {
  local name=$1 in=$2 certs=$3 key=$4 time=$5 stamp=${6:-none} nest=${7:-}
  local args=(sign -certs "$certs" -key "$key" -h sha256 -time "$time")
  case $stamp in
    none) ;;
    rfc3161:*) args+=(-TSA-certs "$tsa" -TSA-key "$pki/tsa.key" -TSA-time "${stamp#rfc3161:}") ;;
    legacy:*) args+=(-t "$legacy_url/${stamp#legacy:}") ;;
    *) echo "make_fixtures: unknown time-stamp $stamp" >&2; exit 1 ;;
  esac
  [[ -n $nest ]] && args+=(-nest)
  rm -f "$work/$name.new"
  if ! osslsigncode "${args[@]}" -in "$in" -out "$work/$name.new" >"$work/$name.log" 2>&1; then
    cat "$work/$name.log" >&2
    echo "make_fixtures: signing $name failed" >&2
    exit 1
  fi
  mv "$work/$name.new" "$out/$name"
  echo "$name" >>"$work/manifest.txt"
}

# copy OUT IN: an unsigned file
copy() {
  cp "$2" "$out/$1"
  echo "$1" >>"$work/manifest.txt"
}

# flip OUT IN: IN with one byte of its code changed (the signature untouched)
flip() {
  cp "$out/$2" "$out/$1"
  # 0x400 is the start of the first section's raw data in these small DLLs.
  local old
  old=$(od -An -tu1 -j 1024 -N 1 "$out/$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((old + 1) % 256)))" |
    dd of="$out/$1" bs=1 seek=1024 conv=notrunc status=none
  echo "$1" >>"$work/manifest.txt"
}

# lift OUT IN FROM: FROM's primary signature pasted into IN (signed) as a
# nested signature. osslsigncode writes the file and then reports the pasted
# signature's digest as a mismatch (its exit status says so); that mismatch is
# the point, so the file only has to be there.
lift() {
  local name=$1 in=$2 from=$3
  rm -f "$work/$name.p7" "$work/$name.new"
  osslsigncode extract-signature -in "$from" -out "$work/$name.p7" >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log" >&2
    echo "make_fixtures: extracting the signature of $from failed" >&2
    exit 1
  }
  osslsigncode attach-signature -sigin "$work/$name.p7" -nest -in "$in" -out "$work/$name.new" \
    >>"$work/$name.log" 2>&1 || true
  grep -q "Signature mismatch" "$work/$name.log" && [[ -s $work/$name.new ]] || {
    cat "$work/$name.log" >&2
    echo "make_fixtures: pasting a nested signature into $name failed" >&2
    exit 1
  }
  mv "$work/$name.new" "$out/$name"
  echo "$name" >>"$work/manifest.txt"
}

# altered OUT IN: a copy of IN in the work directory with one byte of its DOS
# stub's message changed: an image of the attacker's own, whose digest is not
# IN's, and which still loads and runs (and logs its calls) when mapped.
altered() {
  cp "$2" "$work/$1"
  local old
  old=$(od -An -tu1 -j 96 -N 1 "$work/$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((old + 1) % 256)))" |
    dd of="$work/$1" bs=1 seek=96 conv=notrunc status=none
  echo "$work/$1"
}

cloud=$bin/fake_cloud.dll
cloud_no_init2=$bin/fake_cloud_no_init2.dll
client=$bin/fake_client.dll

# --- cloud copies (pinned-chain policy) ---------------------------------------
sign cloud-pinned.dll "$cloud" "$pinned_ok" "$pinned/leaf.key" $S
sign cloud-leaf-twice.dll "$cloud" "$pinned_twice" "$pinned/leaf.key" $S
sign cloud-no-init2-pinned.dll "$cloud_no_init2" "$pinned_ok" "$pinned/leaf.key" $S
copy cloud-unsigned.dll "$cloud"
flip cloud-one-byte.dll cloud-pinned.dll
sign cloud-wrong-key.dll "$cloud" "$pinned_wrongkey" "$pki/wrongkey-leaf.key" $S
sign cloud-wrong-name.dll "$cloud" "$pinned_wrongname" "$pki/pinned-wrongname-leaf.key" $S
# Signed while the leaf was valid (2020-06-01); expired now.
sign cloud-expired.dll "$cloud" "$pinned_expired" "$pki/pinned-expired-leaf.key" 1590969600
# A signature the client copy's policy accepts is not one the cloud copy's does.
sign cloud-named-chain.dll "$cloud" "$c4" "$pki/c4-leaf.key" $S rfc3161:$S60
# A zone CA of the pinned name that claims the genuine L1 as issuer but was
# signed by another key; and the same with a user root of the zone CA's name.
sign cloud-forged-zone.dll "$cloud" "$forged" "$pki/forged-leaf.key" $S
sign cloud-forged-zone-user-root.dll "$cloud" "$forgedu" "$pki/forgedu-leaf.key" $S
# Certificates that name issuer, CRL and OCSP URLs: the leaf's issuer is
# reachable only through its URL; and a genuine pinned chain with URLs.
sign cloud-url-hidden-issuer.dll "$cloud" "$url_hidden" "$pki/url-leaf.key" $S
sign cloud-pinned-urls.dll "$cloud" "$url_pinned" "$pki/url-pinned-leaf.key" $S

# --- client copies (named-chain policy) ---------------------------------------
sign client-c4-rfc3161.dll "$client" "$c4" "$pki/c4-leaf.key" $S rfc3161:$S60
# Accepted, and imports stphelper.dll, which is never verified.
sign client-helper.dll "$bin/fake_client_helper.dll" "$c4" "$pki/c4-leaf.key" $S rfc3161:$S60
sign client-c4-legacy.dll "$client" "$c4" "$pki/c4-leaf.key" $S legacy:$S60
sign client-c1-rfc3161.dll "$client" "$c1" "$pki/c1-leaf.key" $S rfc3161:$S60
sign client-c12-rfc3161.dll "$client" "$c12" "$pki/c12-leaf.key" $S rfc3161:$S60
sign client-c13-legacy.dll "$client" "$c13" "$pki/c13-leaf.key" $S legacy:$S60
copy client-unsigned.dll "$client"
flip client-one-byte.dll client-c4-rfc3161.dll
sign client-wrong-name.dll "$client" "$c4wrong" "$pki/c4-wrongcase-leaf.key" $S rfc3161:$S60
sign client-untrusted-root.dll "$client" "$c6u" "$pki/c6u-leaf.key" $S rfc3161:$S60
sign client-kelvin-name.dll "$client" "$c4kelvin" "$pki/c4-kelvin-leaf.key" $S rfc3161:$S60
sign client-fullwidth-name.dll "$client" "$c4fullwidth" "$pki/c4-fullwidth-leaf.key" $S rfc3161:$S60
sign client-dotless-name.dll "$client" "$c13dotless" "$pki/c13-dotless-leaf.key" $S rfc3161:$S60
sign client-nul-name.dll "$client" "$c4nul" "$pki/c4-nul-leaf.key" $S rfc3161:$S60
sign client-leaf-twice.dll "$client" "$c4twice" "$pki/c4-leaf.key" $S rfc3161:$S60
sign client-pinned-chain.dll "$client" "$pinned_ok" "$pinned/leaf.key" $S rfc3161:$S60
# A leaf from an unlisted CA, carried with a decoy of an allowed CA's name that
# bears the unlisted CA's key identifier.
sign client-decoy.dll "$client" "$decoy" "$pki/decoy-leaf.key" $S rfc3161:$S60
sign client-no-timestamp.dll "$client" "$c4" "$pki/c4-leaf.key" $S
# RFC 3161 time rule: signing time D (decimal) at most genTime T + 2.
sign client-ts-minute-early.dll "$client" "$c4" "$pki/c4-leaf.key" $S60 rfc3161:$S
sign client-ts-2s-early.dll "$client" "$c4" "$pki/c4-leaf.key" $S30 rfc3161:$((S30 - 2))
sign client-ts-3s-early.dll "$client" "$c4" "$pki/c4-leaf.key" $S30 rfc3161:$((S30 - 3))
sign client-ts-1s-other-minute.dll "$client" "$c4" "$pki/c4-leaf.key" $S60 rfc3161:$((S60 - 1))
# Counter-signature rule: signing time at most 2 s after the counter-signer's.
sign client-legacy-2s-early.dll "$client" "$c4" "$pki/c4-leaf.key" $S legacy:$((S - 2))
sign client-legacy-3s-early.dll "$client" "$c4" "$pki/c4-leaf.key" $S legacy:$((S - 3))
# Nested signatures: the primary signer's name chain is not allowed.
sign client-nested.dll.primary "$client" "$c4wrong" "$pki/c4-wrongcase-leaf.key" $S rfc3161:$S60
sign client-nested.dll "$out/client-nested.dll.primary" "$c4" "$pki/c4-leaf.key" $S rfc3161:$S60 -nest
sign client-nested-refused.dll "$out/client-nested.dll.primary" "$c4" "$pki/c4-leaf.key" $S none -nest
# The nested signature's image digest changed in the file after signing (its
# last copy in the file; the primary signature's copy comes first): the signed
# message digest no longer matches the content.
cp "$out/client-nested.dll" "$out/client-nested-content-changed.dll"
python3 - "$out/client-nested-content-changed.dll" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
# SpcIndirectDataContent: ... AlgorithmIdentifier(sha256, NULL) OCTET STRING(32)
marker = bytes.fromhex("0609608648016503040201050004 20".replace(" ", ""))
first = data.find(marker)
digest = bytes(data[first + len(marker):first + len(marker) + 32])
last = data.rfind(digest)
if first < 0 or last <= first + len(marker):
    sys.exit("make_fixtures: no nested image digest found")
data[last] ^= 0x01
open(path, "wb").write(data)
PY
echo client-nested-content-changed.dll >>"$work/manifest.txt"
# Two nested signatures on the same refused primary: one by the wrong-case
# names, which no chain allows, without a time-stamp; one by the allowed chain
# with a good time-stamp. The attribute's values are a DER set, ordered by
# their encodings, so the shorter one, the unallowed, comes first; the walk,
# stepping from the first value, need not land on the second.
sign client-two-nested.dll.first "$out/client-nested.dll.primary" "$c4" "$pki/c4-leaf.key" $S \
  rfc3161:$S60 -nest
sign client-two-nested.dll "$out/client-two-nested.dll.first" "$c4wrong" \
  "$pki/c4-wrongcase-leaf.key" $S none -nest
rm -f "$out/client-two-nested.dll.first"
sed -i '/^client-two-nested.dll.first$/d' "$work/manifest.txt"
openssl x509 -in "$pki/c4-wrongcase-leaf.pem" -outform DER -out "$work/c4-wrongcase-leaf.der"
openssl x509 -in "$pki/c4-leaf.pem" -outform DER -out "$work/c4-leaf.der"
python3 - "$out/client-two-nested.dll" "$work/c4-wrongcase-leaf.der" "$work/c4-leaf.der" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
first_signer, second_signer = (open(p, "rb").read() for p in sys.argv[2:4])
def element(at):  # (content start, end) of the DER element at `at`
    n = data[at + 1]
    if n < 0x80:
        return at + 2, at + 2 + n
    k = n & 0x7F
    return at + 2 + k, at + 2 + k + int.from_bytes(data[at + 2:at + 2 + k], "big")
oid = bytes.fromhex("060a2b060104018237020401")  # 1.3.6.1.4.1.311.2.4.1
at = data.find(oid)
if at < 0 or data.find(oid, at + 1) >= 0:
    sys.exit("make_fixtures: client-two-nested.dll: not one nested-signature attribute")
start, end = element(at + len(oid))  # the SET of values
values = []
while start < end:
    content, stop = element(start)
    values.append(data[start:stop])
    start = stop
order = ["unallowed" if first_signer in v else "allowed" if second_signer in v else "other"
         for v in values]
if order != ["unallowed", "allowed"]:
    sys.exit("make_fixtures: client-two-nested.dll: nested values " + ", ".join(order) +
             "; the unallowed one must come first, then the allowed one")
PY
rm -f "$out/client-nested.dll.primary"
sed -i '/^client-nested.dll.primary$/d' "$work/manifest.txt"

# The cloud copy accepted through its nested signature alone: the primary
# signer is a named chain, the nested one the pinned chain, made for this file.
sign cloud-nested.dll.primary "$cloud" "$c4" "$pki/c4-leaf.key" $S
sign cloud-nested.dll "$out/cloud-nested.dll.primary" "$pinned_ok" "$pinned/leaf.key" $S none -nest
rm -f "$out/cloud-nested.dll.primary"
sed -i '/^cloud-nested.dll.primary$/d' "$work/manifest.txt"

# --- nested signatures that must not count --------------------------------------
# Each primary is signed by a certificate the machine trusts whose names no
# policy allows; the nested signature is either lifted from a genuinely signed
# file (made for another image) or made for this image by a look-alike chain.
client_other=$(altered client-other.dll "$client")
cloud_other=$(altered cloud-other.dll "$cloud")
sign client-attacker.primary "$client_other" "$c4wrong" "$pki/c4-wrongcase-leaf.key" $S rfc3161:$S60
sign cloud-attacker.primary "$cloud_other" "$c4" "$pki/c4-leaf.key" $S
lift client-nested-lifted.dll "$out/client-attacker.primary" "$out/client-c4-rfc3161.dll"
lift cloud-nested-lifted.dll "$out/cloud-attacker.primary" "$out/cloud-pinned.dll"
# Look-alike names under a root nobody trusts, time-stamped as the client
# copy's policy asks.
sign client-nested-forged.dll "$out/client-attacker.primary" "$lookalike" "$pki/lookalike-leaf.key" $S \
  rfc3161:$S60 -nest
# The two rows whose keys are not pinned, forged under the genuine pinned L1
# and root: the zone CA's signature does not verify.
sign cloud-nested-forged.dll "$out/cloud-attacker.primary" "$lookalike_pinned" \
  "$pki/lookalike-pinned-leaf.key" $S none -nest
rm -f "$out/client-attacker.primary" "$out/cloud-attacker.primary"
sed -i '/^client-attacker.primary$/d; /^cloud-attacker.primary$/d' "$work/manifest.txt"

# --- a planted cloud copy with hundreds of nested signatures -------------------
# The attacker's own image, signed by a certificate the machine trusts whose
# names no policy allows, carrying many nested signatures made for this very
# image under the forged pinned names: each one's signature verifies and its
# image digest matches, so only a chain build refuses it. Each is padded (the
# length of its description) to a multiple of 8 bytes, and the primary's
# description puts the first value at a multiple of 8 in the signer record as
# Wine lays it out (the fixture facts check this), so the probe's 8-byte step
# lands on every one of them. The control is the same file with one.
kManyNested=500
# nested_lengths FILE: the DER length of each value of the primary signer's
# first nested-signature attribute, one per line.
nested_lengths() {
  rm -f "$work/lengths.p7"
  osslsigncode extract-signature -in "$1" -out "$work/lengths.p7" >/dev/null 2>&1 || return 1
  python3 - "$work/lengths.p7" <<'PY'
import sys
b = open(sys.argv[1], "rb").read()
def head(i):
    n = b[i + 1]
    if n < 0x80:
        return 2, n
    k = n & 0x7F
    return 2 + k, int.from_bytes(b[i + 2:i + 2 + k], "big")
def kids(i):
    h, n = head(i)
    j, out = i + h, []
    while j < i + h + n:
        out.append(j)
        hh, nn = head(j)
        j += hh + nn
    return out
nested = bytes.fromhex("060a2b060104018237020401")
signed = kids(kids(0)[1])[0]
signer = kids(kids(signed)[-1])[0]
for part in kids(signer):
    if b[part] != 0xA1:
        continue
    for attr in kids(part):
        oid, values = kids(attr)
        h, n = head(oid)
        if b[oid:oid + h + n] == nested:
            for v in kids(values):
                h, n = head(v)
                print(h + n)
            sys.exit(0)
PY
}
many_primary=$(altered cloud-planted.dll "$cloud")
sign cloud-many-nested.dll.0 "$many_primary" "$c4" "$pki/c4-leaf.key" $S
nest_one() {  # nest_one IN OUT DESCRIPTION
  osslsigncode sign -certs "$lookalike_pinned" -key "$pki/lookalike-pinned-leaf.key" -h sha256 \
    -time $S -n "$3" -nest -in "$1" -out "$2" >"$work/nest.log" 2>&1 || {
    cat "$work/nest.log" >&2
    echo "make_fixtures: nesting into $2 failed" >&2
    exit 1
  }
}
nest_one "$out/cloud-many-nested.dll.0" "$work/probe.dll" "copy-0000"
probe_length=$(nested_lengths "$work/probe.dll")
base_pad=$(((8 - probe_length % 8) % 8))
current=$out/cloud-many-nested.dll.0
for i in $(seq 1 $kManyNested); do
  # osslsigncode numbers the nested signatures in a signed attribute; from 128
  # on the number takes one byte more, and the description one byte less.
  pad=$(printf '%*s' $(((base_pad + 8 - (i >= 128 ? 1 : 0)) % 8)) '' | tr ' ' '.')
  nest_one "$current" "$work/many.$i" "$(printf 'copy-%04d' "$i")$pad"
  [[ $i -eq 1 ]] || rm -f "$current"
  current=$work/many.$i
  [[ $i -eq 1 ]] && cp "$current" "$out/cloud-one-nested.dll"
done
nested_lengths "$current" >"$work/many.lengths"
[[ $(wc -l <"$work/many.lengths") -eq $kManyNested ]] &&
  awk '$1 % 8 != 0 { bad = 1 } END { exit bad }' "$work/many.lengths" || {
  echo "make_fixtures: the nested signatures of cloud-many-nested.dll are not $kManyNested multiples of 8" >&2
  exit 1
}
mv "$current" "$out/cloud-many-nested.dll"
rm -f "$out/cloud-many-nested.dll.0"
sed -i '/^cloud-many-nested.dll.0$/d' "$work/manifest.txt"
echo cloud-one-nested.dll >>"$work/manifest.txt"
echo cloud-many-nested.dll >>"$work/manifest.txt"

# The leaf really is carried twice: osslsigncode keeps both copies, byte for byte.
for pair in "client-leaf-twice.dll $pki/c4-leaf.pem" "cloud-leaf-twice.dll $pinned/leaf.pem"; do
  set -- $pair
  osslsigncode extract-signature -in "$out/$1" -out "$work/$1.p7" >/dev/null 2>&1
  leaves=$(openssl pkcs7 -inform DER -in "$work/$1.p7" -print_certs |
    python3 -c 'import sys; print(sys.stdin.read().count(open(sys.argv[1]).read().strip()))' "$2")
  [[ $leaves -eq 2 ]] || {
    echo "make_fixtures: $1 carries its leaf $leaves times, not twice" >&2
    exit 1
  }
done

mv "$work/manifest.txt" "$out/manifest.txt"
