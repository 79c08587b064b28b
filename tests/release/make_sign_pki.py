#!/usr/bin/env python3
"""A throwaway publisher PKI for the signed-release tests, written to DIR:
root (self-signed) <- ca <- leaf (code signing), the time-stamping authority
under the same root, and leaves that must be refused: one for TLS servers only,
one expired. Each NAME gets NAME.pem and, for the leaves, NAME.key (unencrypted
PKCS #8: the caller wraps them into PKCS #12 and removes the directory).

usage: make_sign_pki.py DIR
"""
import datetime
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

NOW = datetime.datetime.utcnow().replace(microsecond=0)
DAY = datetime.timedelta(days=1)


def issue(out, name, issuer, issuer_key, ca, usages, not_before, not_after):
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Throwaway Release Test"),
                         x509.NameAttribute(NameOID.COMMON_NAME, name)])
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer or subject)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(not_before).not_valid_after(not_after)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=not ca, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False, key_agreement=False,
                                            key_cert_sign=ca, crl_sign=ca, encipher_only=False,
                                            decipher_only=False), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False))
    if usages:
        # A time-stamping authority's usage must be its only one, and critical.
        critical = usages == [ExtendedKeyUsageOID.TIME_STAMPING]
        builder = builder.add_extension(x509.ExtendedKeyUsage(usages), critical=critical)
    cert = builder.sign(issuer_key or key, hashes.SHA256())
    with open(os.path.join(out, name + ".pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(out, name + ".key"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return cert.subject, key


def main():
    out = sys.argv[1]
    os.makedirs(out, mode=0o700, exist_ok=True)
    years = 3650 * DAY
    root, root_key = issue(out, "root", None, None, True, [], NOW - DAY, NOW + years)
    ca, ca_key = issue(out, "ca", root, root_key, True, [], NOW - DAY, NOW + years)
    issue(out, "leaf", ca, ca_key, False, [ExtendedKeyUsageOID.CODE_SIGNING], NOW - DAY, NOW + 365 * DAY)
    issue(out, "tsa", root, root_key, False, [ExtendedKeyUsageOID.TIME_STAMPING], NOW - DAY, NOW + years)
    issue(out, "tls", ca, ca_key, False, [ExtendedKeyUsageOID.SERVER_AUTH], NOW - DAY, NOW + 365 * DAY)
    issue(out, "expired", ca, ca_key, False, [ExtendedKeyUsageOID.CODE_SIGNING], NOW - 400 * DAY, NOW - DAY)
    # Genuine but unusual: a leaf whose usage list names code signing among others.
    issue(out, "multi", ca, ca_key, False, [ExtendedKeyUsageOID.CLIENT_AUTH, ExtendedKeyUsageOID.CODE_SIGNING],
          NOW - DAY, NOW + 365 * DAY)


if __name__ == "__main__":
    main()
