#!/usr/bin/env bash
# Issues the four-certificate chain that platform_probe.exe pins for the cloud
# library:
#   root.pem  "STP Root CA 01"                                RSA 4096, self-signed
#   l1.pem    "STP SDK - Code Signing L1 Intermediate CA 01"  RSA 4096
#   zone.pem  "STP SDK - Code Signing Zone All CA 01"         RSA 2048
#   leaf.pem  "STP SDK - Code Signing Leaf (prod)"            RSA 2048, code signing
#
# Run without arguments it writes a fresh release chain to pki/release/: the
# keys are made in a private temporary directory that is removed on exit, so
# only the certificates ever reach the tree. The binary picks up the new pins
# from root.pem and l1.pem on the next build.
#
# Sourced, it only defines issue_chain (the test chain uses it with keys that
# are kept; see make_test_pinned_pki.sh). With PKI_CRL_URL set, every issued
# certificate names that URL as its CRL distribution point (the self-test kit's
# throwaway chains; its CRLs are installed, the URL is never fetched).
set -euo pipefail

# issue_chain KEYDIR OUTDIR SERIALBASE LEAFDIGEST
#   KEYDIR      root.key l1.key zone.key leaf.key are read from here; missing
#               ones are generated there first
#   OUTDIR      the four certificates are written here as PEM
#   SERIALBASE  hex prefix of the serial numbers (serials SERIALBASE01..04)
#   LEAFDIGEST  digest the zone CA signs the leaf with (sha256 or sha1)
# With the same keys the output is byte for byte the same: fixed dates, fixed
# serials, and RSA PKCS #1 v1.5 signatures are deterministic.
issue_chain() {
  local keydir=$1 outdir=$2 serialbase=$3 leafdigest=$4
  local work
  work=$(mktemp -d)
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" RETURN

  local name bits
  for name in root l1 zone leaf; do
    case $name in root | l1) bits=4096 ;; *) bits=2048 ;; esac
    if [[ ! -f $keydir/$name.key ]]; then
      openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:$bits -out "$keydir/$name.key" 2>/dev/null
    fi
  done

  local crl_point=''
  [[ -z ${PKI_CRL_URL:-} ]] || crl_point="crlDistributionPoints = URI:$PKI_CRL_URL"
  cat >"$work/ca.cnf" <<CNF
[ ca ]
default_ca = chain_ca
[ chain_ca ]
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
[ dn ]
[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ l1_ext ]
basicConstraints = critical, CA:TRUE, pathlen:1
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
[ zone_ext ]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
[ leaf_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
$crl_point
CNF
  mkdir "$work/new"

  # name -> subject, issuer, digest
  local -A subject=(
    [root]="STP Root CA 01"
    [l1]="STP SDK - Code Signing L1 Intermediate CA 01"
    [zone]="STP SDK - Code Signing Zone All CA 01"
    [leaf]="STP SDK - Code Signing Leaf (prod)"
  )
  local -A issuer=([root]=root [l1]=root [zone]=l1 [leaf]=zone)
  local -A serial=([root]=01 [l1]=02 [zone]=03 [leaf]=04)
  local -A digest=([root]=sha256 [l1]=sha256 [zone]=sha256 [leaf]=$leafdigest)

  for name in root l1 zone leaf; do
    : >"$work/index.txt"
    echo "${serialbase}${serial[$name]}" >"$work/serial"
    openssl req -new -config "$work/ca.cnf" -key "$keydir/$name.key" \
      -subj "/O=KORVEX Stratoplay/CN=${subject[$name]}" -out "$work/$name.csr"
    local signer=(-cert "$outdir/${issuer[$name]}.pem" -keyfile "$keydir/${issuer[$name]}.key")
    [[ $name == root ]] && signer=(-selfsign -keyfile "$keydir/root.key")
    openssl ca -batch -notext -config "$work/ca.cnf" "${signer[@]}" \
      -in "$work/$name.csr" -out "$outdir/$name.pem" -extensions "${name}_ext" \
      -md "${digest[$name]}" -startdate 200101000000Z -enddate 491231235959Z 2>/dev/null
  done
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  keys=$(mktemp -d)
  trap 'rm -rf "$keys"' EXIT
  issue_chain "$keys" "$root/pki/release" 5350 sha256
  echo "release chain written to $root/pki/release; its keys are gone with $keys"
fi
