#!/usr/bin/env bash
# Issues the certificates the end-to-end tests sign runtime libraries with,
# beyond the pinned test chain of tests/pki/pinned/, into tests/pki/e2e/.
#
# Families (each its own keys; every CA carries a subject key identifier and
# every issued certificate an authority key identifier, so that chain building
# never mixes two certificates that share a name):
#
#   c1-*   4-name chain: KORVEX Corporation <- Sentrix Class 3 SHA256 Code
#          Signing CA <- Verimark Class 3 Public Primary Certification
#          Authority - G5 (intermediate) <- Microsoft Code Verification Root
#   c4-*   3-name chain: KORVEX Corporation <- Sentrix Class 3 SHA256 Code
#          Signing CA <- Verimark ... - G5 (a root here)
#          c4-wrongcase-leaf: "Korvex Corporation" under the same CA, a name
#          chain that no allowed chain lists
#   c12-*  KORVEX CORPORATION <- KORVEX Subordinate CA <- Microsoft Digital
#          Media Authority 2005
#   c13-*  Korvex Corporation <- Certivo SHA2 Assured ID Code Signing CA <-
#          Certivo Assured ID Root CA
#   c6u-*  KORVEX Corporation <- Sentrix Class 3 SHA256 Code Signing CA - G2 <-
#          Verimark Universal Root Certification Authority: allowed names, but
#          its root is never trusted. Its leaf is signed with SHA-1, so that
#          Wine's trust provider applies its chain-trust policy to it.
#   tsa-*  the time-stamping authority (RFC 3161 and counter-signatures)
#   pinned-expired-leaf   the pinned leaf name under the pinned zone CA, valid
#                         during 2020 only
#   pinned-wrongname-leaf "STP SDK - Code Signing Leaf (test)" under the pinned
#                         zone CA
#   wrongkey-*            the pinned names below the pinned root, but an L1
#                         intermediate with a 4096-bit key of its own
#   lookalike-*           look-alikes an attacker can make, for nested
#                         signatures, none of them trusted:
#     lookalike-g5-root, lookalike-ca, lookalike-leaf: chain 4's names under a
#                         root of their own
#     lookalike-l1        the pinned L1's exact subject with another key; it
#                         only issues lookalike-zone
#     lookalike-zone      the pinned zone CA's name, issued in the pinned L1's
#                         name without an authority key identifier, so that
#                         chain building finds the genuine L1 by name (and
#                         flags the zone CA's signature as invalid)
#     lookalike-pinned-leaf  the pinned leaf's name under lookalike-zone
#   c4-kelvin-leaf, c4-fullwidth-leaf   "KORVEX Corporation" with KELVIN SIGN
#                (U+212A) or FULLWIDTH K (U+FF2B) for the K, under c4-ca
#   c13-dotless-leaf   "Korvex Corporat" DOTLESS I (U+0131) "on", under c13-ca
#   c4-nul-leaf  "KORVEX Corporation" NUL ".anything", a BMPString, under
#                c4-ca: the request is made with a placeholder (U+2603, which
#                makes openssl choose a BMPString) in the NUL's place, edited
#                and signed again with the leaf's key, since no openssl
#                subject syntax carries a NUL. (A UTF8String with a NUL reads
#                as an empty name under Wine: docs/wine-facts.md.)
#   What a CA that validated such a company name (or let a NUL through) would
#   issue; the look-alike names are UTF8Strings.
#
# Forgeries, made as an attacker who holds only the public certificates would:
#   forged-l1    the pinned L1 name and the pinned L1's key identifier on a key
#                of the attacker's: it only issues the forged zone CAs below
#   forged-*     the pinned zone CA name under that stand-in, so it claims the
#                genuine L1 as issuer (name and key identifier) but is signed
#                by another key; the pinned leaf name below it
#   forgedu-*    the same with another key, and forgedu-root: a self-signed
#                certificate of the zone CA's name on that key, for a user's
#                root store; its leaf is signed with SHA-1, so that Wine's
#                trust provider judges the chain through that root
#   unlisted-ca  "Unlisted Code Signing CA" under the c4 root: on no allowed
#                name chain; decoy-leaf ("KORVEX Corporation", SHA-1) below it
#   decoy-*      decoy-ca: "Sentrix Class 3 SHA256 Code Signing CA" carrying
#                the unlisted CA's key identifier on another key, under
#                decoy-g5, an attacker's own "Verimark ... G5"
#   url-*        certificates that name issuer, CRL and OCSP URLs on the
#                loopback port $kUrlPort: url-zone, a zone CA of the pinned
#                name under the pinned L1 that no store holds, url-leaf below
#                it, and url-pinned-leaf below the genuine pinned zone CA
#
# Keys are test material and are committed beside the certificates. Existing
# keys are reused, and dates and serial numbers are fixed, so running this
# again reproduces every certificate byte for byte; delete a key to roll it.
# The pinned chain's keys are read from tests/pki/pinned/ and never written.
#
# E2E_PINNED_DIR names another pinned chain (default tests/pki/pinned), and
# PKI_CRL_URL, when set, is named by every issued certificate as its CRL
# distribution point: the self-test kit issues a throwaway PKI this way.
#
# Also writes trusted-roots.txt: the roots a test machine trusts (the pinned
# test root, the roots of every family except c6u, and the TSA root).
set -euo pipefail
# The loopback port the url-* certificates name (tests/e2e/matrix.sh listens on it).
kUrlPort=39417
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/tests/pki/e2e}
pinned=${E2E_PINNED_DIR:-$repo/tests/pki/pinned}
crl_point=''
[[ -z ${PKI_CRL_URL:-} ]] || crl_point="crlDistributionPoints = URI:$PKI_CRL_URL"
mkdir -p "$out"
for f in root l1 zone; do
  [[ -f $pinned/$f.pem && -f $pinned/$f.key ]] || {
    echo "make_e2e_pki: $pinned/$f.pem and $f.key are needed" >&2
    exit 1
  }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/new"

cat >"$work/ca.cnf" <<CNF
[ ca ]
default_ca = e2e_ca
[ e2e_ca ]
database = $work/index.txt
new_certs_dir = $work/new
serial = $work/serial
preserve = yes
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
[ any_name ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
utf8 = yes
string_mask = utf8only
[ req_bmp ]
distinguished_name = dn
prompt = no
utf8 = yes
string_mask = default
[ dn ]
[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
[ ca_noaki_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
$crl_point
[ leaf_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
[ tsa_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
[ url_leaf_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
authorityInfoAccess = caIssuers;URI:http://127.0.0.1:$kUrlPort/stp/issuer.cer, OCSP;URI:http://127.0.0.1:$kUrlPort/stp/ocsp
crlDistributionPoints = URI:http://127.0.0.1:$kUrlPort/stp/issuer.crl
[ url_ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
authorityInfoAccess = caIssuers;URI:http://127.0.0.1:$kUrlPort/stp/l1.cer, OCSP;URI:http://127.0.0.1:$kUrlPort/stp/ocsp
crlDistributionPoints = URI:http://127.0.0.1:$kUrlPort/stp/l1.crl
CNF

# key_id PEM: the certificate's subject key identifier, as openssl writes it.
key_id() {
  openssl x509 -in "$1" -noout -ext subjectKeyIdentifier | tail -n 1 | tr -d ' '
}

# An extension section NAME for a CA certificate whose subject key identifier
# is KEYID (hex) rather than the hash of its own key.
ca_ext_with_key_id() {
  cat >>"$work/ca.cnf" <<CNF
[ $1 ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = $2
authorityKeyIdentifier = keyid
$crl_point
CNF
}

serial_counter=0

# nul_in_request CSR KEY TEXT: the request's subject holds TEXT (UTF-16BE) once;
# its U+2603 becomes a NUL, and the request is signed again with KEY (same length: an RSA
# signature's length is the key's).
nul_in_request() {
  local csr=$1 key=$2 text=$3
  openssl req -in "$csr" -outform DER -out "$csr.der"
  python3 - "$csr.der" "$text" "$csr.info" <<'PY'
import sys
der = bytearray(open(sys.argv[1], "rb").read())
def header(at):  # (header length, content length) of the TLV at `at`
    n = der[at + 1]
    if n < 0x80:
        return 2, n
    k = n & 0x7F
    return 2 + k, int.from_bytes(der[at + 2:at + 2 + k], "big")
outer, _ = header(0)
h, n = header(outer)
info = slice(outer, outer + h + n)
body = der[info]
text = sys.argv[2].encode("utf-16-be")
assert body.count(text) == 1, "the placeholder must occur once"
der[info] = body.replace(text, text.replace("\u2603".encode("utf-16-be"), b"\0\0"))
open(sys.argv[1], "wb").write(der)
open(sys.argv[3], "wb").write(der[info])
PY
  openssl dgst -sha256 -sign "$key" -out "$csr.sig" "$csr.info"
  python3 - "$csr.der" "$csr.sig" <<'PY'
import sys
der = bytearray(open(sys.argv[1], "rb").read())
sig = open(sys.argv[2], "rb").read()
der[-len(sig):] = sig  # the BIT STRING's content ends the request
open(sys.argv[1], "wb").write(der)
PY
  openssl req -inform DER -in "$csr.der" -verify -noout 2>/dev/null
  openssl req -inform DER -in "$csr.der" -out "$csr"
}

# key FILE BITS: make FILE unless it exists
key() {
  [[ -f $1 ]] || openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$2" -out "$1" 2>/dev/null
  chmod 600 "$1"
}

# issue NAME "SUBJECT CN" ISSUER(NAME, pinned:NAME or self) EXT DIGEST [BITS] [START END]
# Writes $out/NAME.pem (and $out/NAME.key when new).
issue() {
  local name=$1 cn=$2 issuer=$3 ext=$4 digest=$5 bits=${6:-2048}
  local start=${7:-200101000000Z} end=${8:-491231235959Z}
  serial_counter=$((serial_counter + 1))
  key "$out/$name.key" "$bits"
  : >"$work/index.txt"
  printf 'E2E0%04X\n' "$serial_counter" >"$work/serial"
  openssl req -new -config "$work/ca.cnf" -section "${ISSUE_REQ_SECTION:-req}" -key "$out/$name.key" \
    -subj "${ISSUE_SUBJECT:-/O=End-to-end tests/CN=$cn}" -out "$work/$name.csr"
  [[ -z ${ISSUE_NUL_FOR:-} ]] || nul_in_request "$work/$name.csr" "$out/$name.key" "$ISSUE_NUL_FOR"
  local signer
  case $issuer in
    self) signer=(-selfsign -keyfile "$out/$name.key") ;;
    pinned:*) signer=(-cert "$pinned/${issuer#pinned:}.pem" -keyfile "$pinned/${issuer#pinned:}.key") ;;
    *) signer=(-cert "$out/$issuer.pem" -keyfile "$out/$issuer.key") ;;
  esac
  openssl ca -batch -notext -config "$work/ca.cnf" "${signer[@]}" \
    -in "$work/$name.csr" -out "$out/$name.pem" -extensions "$ext" \
    -md "$digest" -startdate "$start" -enddate "$end" 2>"$work/ca.log" || {
    cat "$work/ca.log" >&2
    exit 1
  }
}

# Chain 1 (four names; the signature carries all four certificates).
issue c1-root "Microsoft Code Verification Root" self root_ext sha256
issue c1-g5 "Verimark Class 3 Public Primary Certification Authority - G5" c1-root ca_ext sha256
issue c1-ca "Sentrix Class 3 SHA256 Code Signing CA" c1-g5 ca_ext sha256
issue c1-leaf "KORVEX Corporation" c1-ca leaf_ext sha1

# Chain 4 (three names; the signature carries the leaf and the CA only).
issue c4-root "Verimark Class 3 Public Primary Certification Authority - G5" self root_ext sha256
issue c4-ca "Sentrix Class 3 SHA256 Code Signing CA" c4-root ca_ext sha256
issue c4-leaf "KORVEX Corporation" c4-ca leaf_ext sha256
issue c4-wrongcase-leaf "Korvex Corporation" c4-ca leaf_ext sha256

# Chain 12 (three names; leaf and CA carried).
issue c12-root "Microsoft Digital Media Authority 2005" self root_ext sha256
issue c12-ca "KORVEX Subordinate CA" c12-root ca_ext sha256
issue c12-leaf "KORVEX CORPORATION" c12-ca leaf_ext sha256

# Chain 13 (three names; all three carried).
issue c13-root "Certivo Assured ID Root CA" self root_ext sha256
issue c13-ca "Certivo SHA2 Assured ID Code Signing CA" c13-root ca_ext sha256
issue c13-leaf "Korvex Corporation" c13-ca leaf_ext sha1

# Chain 6 names under a root nobody trusts.
issue c6u-root "Verimark Universal Root Certification Authority" self root_ext sha256
issue c6u-ca "Sentrix Class 3 SHA256 Code Signing CA - G2" c6u-root ca_ext sha256
issue c6u-leaf "KORVEX Corporation" c6u-ca leaf_ext sha1

# Time-stamping authority.
issue tsa-root "End-to-end Time-Stamping Root" self root_ext sha256
issue tsa "End-to-end Time-Stamping Authority" tsa-root tsa_ext sha256

# Beside the pinned chain.
issue pinned-expired-leaf "STP SDK - Code Signing Leaf (prod)" pinned:zone leaf_ext sha1 2048 \
  200101000000Z 201231235959Z
issue pinned-wrongname-leaf "STP SDK - Code Signing Leaf (test)" pinned:zone leaf_ext sha1
issue wrongkey-l1 "STP SDK - Code Signing L1 Intermediate CA 01" pinned:root ca_ext sha256 4096
issue wrongkey-zone "STP SDK - Code Signing Zone All CA 01" wrongkey-l1 ca_ext sha256
issue wrongkey-leaf "STP SDK - Code Signing Leaf (prod)" wrongkey-zone leaf_ext sha1

# Forged zone CAs that claim the genuine pinned L1 as their issuer.
ca_ext_with_key_id pinned_l1_key_id "$(key_id "$pinned/l1.pem")"
issue forged-l1 "STP SDK - Code Signing L1 Intermediate CA 01" self pinned_l1_key_id sha256
issue forged-zone "STP SDK - Code Signing Zone All CA 01" forged-l1 ca_ext sha256
issue forged-leaf "STP SDK - Code Signing Leaf (prod)" forged-zone leaf_ext sha256
issue forgedu-zone "STP SDK - Code Signing Zone All CA 01" forged-l1 ca_ext sha256
cp "$out/forgedu-zone.key" "$out/forgedu-root.key"
issue forgedu-root "STP SDK - Code Signing Zone All CA 01" self root_ext sha256
issue forgedu-leaf "STP SDK - Code Signing Leaf (prod)" forgedu-zone leaf_ext sha1

# A decoy with an allowed intermediate's name and the real issuer's key id.
issue unlisted-ca "Unlisted Code Signing CA" c4-root ca_ext sha256
issue decoy-leaf "KORVEX Corporation" unlisted-ca leaf_ext sha1
issue decoy-g5 "Verimark Class 3 Public Primary Certification Authority - G5" self root_ext sha256
ca_ext_with_key_id unlisted_key_id "$(key_id "$out/unlisted-ca.pem")"
issue decoy-ca "Sentrix Class 3 SHA256 Code Signing CA" decoy-g5 unlisted_key_id sha256

# Certificates that name URLs for their issuer and revocation status.
issue url-zone "STP SDK - Code Signing Zone All CA 01" pinned:l1 url_ca_ext sha256
issue url-leaf "STP SDK - Code Signing Leaf (prod)" url-zone url_leaf_ext sha256
issue url-pinned-leaf "STP SDK - Code Signing Leaf (prod)" pinned:zone url_leaf_ext sha1

# Look-alikes for the nested-signature attacks.
issue lookalike-g5-root "Verimark Class 3 Public Primary Certification Authority - G5" self root_ext sha256
issue lookalike-ca "Sentrix Class 3 SHA256 Code Signing CA" lookalike-g5-root ca_ext sha256
issue lookalike-leaf "KORVEX Corporation" lookalike-ca leaf_ext sha256
ISSUE_SUBJECT=$(openssl x509 -in "$pinned/l1.pem" -noout -subject -nameopt compat | sed 's/^subject=//') \
  issue lookalike-l1 "STP SDK - Code Signing L1 Intermediate CA 01" self root_ext sha256 4096
issue lookalike-zone "STP SDK - Code Signing Zone All CA 01" lookalike-l1 ca_noaki_ext sha256
issue lookalike-pinned-leaf "STP SDK - Code Signing Leaf (prod)" lookalike-zone leaf_ext sha256
# lookalike-zone names the genuine L1 as its issuer, byte for byte.
[[ $(openssl x509 -in "$out/lookalike-zone.pem" -noout -issuer -nameopt RFC2253) == \
   $(openssl x509 -in "$pinned/l1.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject/issuer/') ]] || {
  echo "make_e2e_pki: lookalike-zone does not name the pinned L1 as its issuer" >&2
  exit 1
}

# Look-alike company names under allowed chains' CAs.
issue c4-kelvin-leaf $'\xe2\x84\xaaORVEX Corporation' c4-ca leaf_ext sha256
issue c4-fullwidth-leaf $'\xef\xbc\xabORVEX Corporation' c4-ca leaf_ext sha256
issue c13-dotless-leaf $'Korvex Corporat\xc4\xb1on' c13-ca leaf_ext sha1
ISSUE_REQ_SECTION=req_bmp ISSUE_NUL_FOR=$'Corporation\xe2\x98\x83.anything' \
  issue c4-nul-leaf $'KORVEX Corporation\xe2\x98\x83.anything' c4-ca leaf_ext sha256

# The pinned names must appear exactly; the O attribute must not change the
# simple display name (it is the CN).
for n in pinned-expired-leaf wrongkey-l1 wrongkey-zone wrongkey-leaf; do
  openssl x509 -in "$out/$n.pem" -noout -subject | grep -q "CN = STP" || {
    echo "make_e2e_pki: $n has an unexpected subject" >&2
    exit 1
  }
done

cat >"$out/trusted-roots.txt" <<'LIST'
../pinned/root.pem
c1-root.pem
c4-root.pem
c12-root.pem
c13-root.pem
tsa-root.pem
LIST
echo "end-to-end test PKI written to $out"
