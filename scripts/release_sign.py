#!/usr/bin/env python3
"""What scripts/release.sh learns about the Authenticode signature of a shipped exe,
read from the bytes (never from a signing tool's messages, which change between
its versions).

  release_sign.py report [--unsigned-ok] EXE...
      For every EXE: the signature in its certificate table verifies (the
      signer's signature over its signed attributes, whose message digest is
      that of the signed content), the digest the signature carries is the
      image's own Authenticode digest, who signed it (the signer and the chain
      the signature carries), and the RFC 3161 time-stamp: that it is over this
      signature, verifies, and when it was made. One line per finding; exit 1
      when any EXE falls short (an unsigned EXE too, unless --unsigned-ok).

  release_sign.py signed EXE
      Exit 0 when EXE has a certificate table, 1 when it has none.

Needs Debian's python3-cryptography for the public-key checks.
"""
import argparse
import datetime
import hashlib
import struct
import sys

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_RFC3161_COUNTER_SIGNATURE = "1.3.6.1.4.1.311.3.3.1"
OID_TST_INFO = "1.2.840.113549.1.9.16.1.4"
DIGESTS = {
    "1.3.14.3.2.26": hashes.SHA1,
    "2.16.840.1.101.3.4.2.1": hashes.SHA256,
    "2.16.840.1.101.3.4.2.2": hashes.SHA384,
    "2.16.840.1.101.3.4.2.3": hashes.SHA512,
}


class Bad(Exception):
    """A structure that is not what a signature must be."""


# --- DER reading: every read checks the room left first -------------------
class Der:
    """One TLV: its tag, its content bytes and its whole encoding."""

    def __init__(self, tag, content, encoding):
        self.tag, self.content, self.encoding = tag, content, encoding

    def children(self):
        items, pos = [], 0
        while pos < len(self.content):
            item, pos = read_tlv(self.content, pos)
            items.append(item)
        return items


def read_tlv(buf, pos):
    if pos + 2 > len(buf):
        raise Bad("truncated DER")
    tag, first = buf[pos], buf[pos + 1]
    if tag & 0x1F == 0x1F:
        raise Bad("multi-byte DER tag")
    head = 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + 2 + count > len(buf):
            raise Bad("bad DER length")
        length = int.from_bytes(buf[pos + 2:pos + 2 + count], "big")
        head += count
    end = pos + head + length
    if end > len(buf):
        raise Bad("DER element runs past its container")
    return Der(tag, buf[pos + head:end], buf[pos:end]), end


def parse(buf):
    item, end = read_tlv(buf, 0)
    if end != len(buf):
        raise Bad("bytes after the DER element")
    return item


def oid(item):
    if item.tag != 0x06 or not item.content:
        raise Bad("expected an OID")
    parts, value = [], 0
    for byte in item.content:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(str(n) for n in [first, parts[0] - 40 * first] + parts[1:])


def expect(item, tag, what):
    if item.tag != tag:
        raise Bad("%s: tag 0x%02x, not 0x%02x" % (what, item.tag, tag))
    return item


def attributes(item):
    """{oid: [value, ...]} of a SET OF Attribute (any tag: signed ones are [0])."""
    found = {}
    for attribute in item.children():
        parts = expect(attribute, 0x30, "attribute").children()
        if len(parts) != 2:
            raise Bad("attribute without exactly a type and a set of values")
        found.setdefault(oid(parts[0]), []).extend(expect(parts[1], 0x31, "attribute values").children())
    return found


# --- The PE image ----------------------------------------------------------
def pe_layout(image):
    """(checksum offset, security directory entry offset, table offset, table size)."""
    if len(image) < 0x40 or image[:2] != b"MZ":
        raise Bad("no MZ header")
    (lfanew,) = struct.unpack_from("<I", image, 0x3C)
    if lfanew > len(image) - 24 or image[lfanew:lfanew + 4] != b"PE\0\0":
        raise Bad("no PE header")
    optional = lfanew + 24
    if optional + 2 > len(image):
        raise Bad("truncated optional header")
    (magic,) = struct.unpack_from("<H", image, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -optional - 1)
    if directories < optional:
        raise Bad("optional header magic 0x%x" % magic)
    security = directories + 4 * 8
    if security + 8 > len(image):
        raise Bad("no security directory entry")
    table, size = struct.unpack_from("<II", image, security)
    if size and (table > len(image) or size > len(image) - table):
        raise Bad("the certificate table runs past the file")
    return optional + 64, security, table, size


def image_digest(image, algorithm):
    """The Authenticode digest: the file but its checksum, its security
    directory entry and its certificate table."""
    checksum, security, table, size = pe_layout(image)
    end = table if size else len(image)
    h = hashlib.new(algorithm.name)
    h.update(image[:checksum])
    h.update(image[checksum + 4:security])
    h.update(image[security + 8:end])
    h.update(image[end + size:] if size else b"")
    return h.digest()


def embedded_signature(image):
    """The PKCS #7 bytes of the first WIN_CERTIFICATE, or None when unsigned."""
    _, _, table, size = pe_layout(image)
    if not size:
        return None
    if size < 8:
        raise Bad("certificate table shorter than its header")
    length, revision, kind = struct.unpack_from("<IHH", image, table)
    if length < 8 or length > size or kind != 2:
        raise Bad("certificate entry of length %d, type %d" % (length, kind))
    blob = image[table + 8:table + length]
    item, end = read_tlv(blob, 0)  # the entry is padded to 8 bytes after the DER
    return blob[:end]


# --- PKCS #7 SignedData ----------------------------------------------------
class Signed:
    """The parts of one SignedData that the checks need."""

    def __init__(self, der, want_content):
        outer = expect(parse(der), 0x30, "ContentInfo").children()
        if len(outer) != 2 or oid(outer[0]) != OID_SIGNED_DATA:
            raise Bad("not a SignedData")
        signed = expect(expect(outer[1], 0xA0, "content").children()[0], 0x30, "SignedData").children()
        content_info = expect(signed[2], 0x30, "encapsulated content").children()
        self.content_type = oid(content_info[0])
        if self.content_type != want_content:
            raise Bad("content type %s, not %s" % (self.content_type, want_content))
        self.content = expect(content_info[1], 0xA0, "content").children()[0]
        self.certs = []
        rest = signed[3:]
        while rest and rest[0].tag in (0xA0, 0xA1):
            if rest[0].tag == 0xA0:
                self.certs = [x509.load_der_x509_certificate(c.encoding) for c in rest[0].children()]
            rest = rest[1:]
        signers = expect(rest[0], 0x31, "signer infos").children() if rest else []
        if len(signers) != 1:
            raise Bad("%d signers, not one" % len(signers))
        parts = expect(signers[0], 0x30, "SignerInfo").children()
        issuer_serial = expect(parts[1], 0x30, "issuer and serial").children()
        self.issuer, self.serial = issuer_serial[0].encoding, int.from_bytes(issuer_serial[1].content, "big",
                                                                              signed=True)
        self.digest = DIGESTS.get(oid(expect(parts[2], 0x30, "digest algorithm").children()[0]))
        if self.digest is None:
            raise Bad("digest algorithm unknown")
        self.signed_attrs = expect(parts[3], 0xA0, "signed attributes")
        self.signature = expect(parts[5], 0x04, "signature").content
        self.unsigned_attrs = attributes(parts[6]) if len(parts) > 6 and parts[6].tag == 0xA1 else {}

    def signer(self):
        for cert in self.certs:
            # The issuer as the certificate encodes it, not as a library would re-encode it.
            tbs = expect(parse(cert.tbs_certificate_bytes), 0x30, "TBSCertificate").children()
            issuer = tbs[3 if tbs[0].tag == 0xA0 else 2].encoding
            if cert.serial_number == self.serial and issuer == self.issuer:
                return cert
        raise Bad("the signer's certificate is not in the signature")

    def verify(self, content_bytes):
        """The signer's signature over its signed attributes, and their message
        digest over CONTENT_BYTES; returns the signer's certificate."""
        attrs = attributes(self.signed_attrs)
        types = attrs.get(OID_CONTENT_TYPE, [])
        if len(types) != 1 or oid(types[0]) != self.content_type:
            raise Bad("the signed content type attribute is not the content's")
        digests = attrs.get(OID_MESSAGE_DIGEST, [])
        h = hashlib.new(self.digest.name, content_bytes).digest()
        if len(digests) != 1 or digests[0].tag != 0x04 or digests[0].content != h:
            raise Bad("the signed message digest is not the content's")
        cert = self.signer()
        key = cert.public_key()
        to_verify = b"\x31" + self.signed_attrs.encoding[1:]
        try:
            if isinstance(key, rsa.RSAPublicKey):
                key.verify(self.signature, to_verify, padding.PKCS1v15(), self.digest())
            elif isinstance(key, ec.EllipticCurvePublicKey):
                key.verify(self.signature, to_verify, ec.ECDSA(self.digest()))
            else:
                raise Bad("the signer's key is neither RSA nor EC")
        except InvalidSignature:
            raise Bad("the signature does not verify with %s's key" % name(cert))
        return cert


def name(cert):
    return cert.subject.rfc4514_string()


def chain_of(cert, certs):
    """The signer and the issuers the signature carries, leaf first."""
    chain = [cert]
    while len(chain) <= len(certs):
        issuers = [c for c in certs if c.subject == chain[-1].issuer and c not in chain]
        if not issuers:
            break
        chain.append(issuers[0])
    return chain


def timestamp(signed):
    """(time, authority) of the RFC 3161 token over SIGNED's signature."""
    tokens = signed.unsigned_attrs.get(OID_RFC3161_COUNTER_SIGNATURE, [])
    if len(tokens) != 1:
        raise Bad("%d RFC 3161 time-stamps, not one" % len(tokens))
    token = Signed(tokens[0].encoding, OID_TST_INFO)
    tst_info = expect(token.content, 0x04, "TSTInfo octets").content
    authority = token.verify(tst_info)
    fields = expect(parse(tst_info), 0x30, "TSTInfo").children()
    imprint = expect(fields[2], 0x30, "message imprint").children()
    algorithm = DIGESTS.get(oid(expect(imprint[0], 0x30, "imprint algorithm").children()[0]))
    if algorithm is None or imprint[1].content != hashlib.new(algorithm.name, signed.signature).digest():
        raise Bad("the time-stamp is not over this signature")
    when = expect(fields[4], 0x18, "genTime").content.decode("ascii")
    stamp = datetime.datetime.strptime(when[:14], "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)
    return stamp, authority


def report(path, unsigned_ok):
    """Prints the findings for one exe; True when it passes."""
    label = path.rsplit("/", 1)[-1]
    try:
        image = open(path, "rb").read()
        der = embedded_signature(image)
        if der is None:
            print("%s: unsigned" % label)
            return unsigned_ok
        signed = Signed(der, OID_SPC_INDIRECT_DATA)
        # SpcIndirectDataContent { data, DigestInfo { algorithm, digest } }; the
        # signed digest covers its value without the SEQUENCE's own header.
        spc = expect(signed.content, 0x30, "SpcIndirectDataContent")
        digest_info = expect(spc.children()[1], 0x30, "DigestInfo").children()
        algorithm = DIGESTS.get(oid(digest_info[0].children()[0]))
        if algorithm is None or algorithm.name != "sha256":
            raise Bad("the image digest is not SHA-256")
        own = image_digest(image, algorithm)
        if digest_info[1].content != own:
            raise Bad("the signed image digest %s is not the image's %s" % (digest_info[1].content.hex(), own.hex()))
        signer = signed.verify(spc.content)
        chain = " <- ".join(name(c) for c in chain_of(signer, signed.certs))
        when, authority = timestamp(signed)
        print("%s: signature verifies; SHA-256 image digest %s is the image's" % (label, own.hex()))
        print("%s: signed by %s" % (label, chain))
        print("%s: time-stamped %s by %s" % (label, when.strftime("%Y-%m-%dT%H:%M:%SZ"), name(authority)))
        valid_from = signer.not_valid_before.replace(tzinfo=datetime.timezone.utc)
        valid_to = signer.not_valid_after.replace(tzinfo=datetime.timezone.utc)
        if not valid_from <= when <= valid_to:
            raise Bad("time-stamped outside the signer's validity %s .. %s" % (valid_from, valid_to))
        return True
    except Exception as problem:  # anything unreadable is no good signature
        print("%s: NOT A GOOD SIGNATURE: %s" % (label, problem or type(problem).__name__))
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("report")
    r.add_argument("--unsigned-ok", action="store_true")
    r.add_argument("exe", nargs="+")
    s = sub.add_parser("signed")
    s.add_argument("exe")
    args = parser.parse_args()
    if args.command == "signed":
        try:
            return 0 if embedded_signature(open(args.exe, "rb").read()) else 1
        except (Bad, OSError) as problem:
            print("%s: %s" % (args.exe, problem), file=sys.stderr)
            return 2
    results = [report(exe, args.unsigned_ok) for exe in args.exe]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
