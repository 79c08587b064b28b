#!/usr/bin/env python3
"""A legacy (PKCS #9 counter-signature) Authenticode time-stamp responder for
the end-to-end fixtures, on loopback only, and bounded: it answers at most
--max-requests requests and stops by itself after --timeout seconds, whatever
happens.

The counter-signer's signing time is chosen by the client through the request
path: POST /<unix time> signs with that time (so a fixture can place the
counter-signature before or after the file's own signing time). A request to
any other path is answered with the current time.

Request (what signing tools send): base64 of the DER TimeStampRequest
  SEQUENCE { OID 1.3.6.1.4.1.311.3.2.1, SEQUENCE { OID data, [0] { OCTET STRING
  <the signature value to counter-sign> } } }
Response: base64 of a DER PKCS #7 SignedData over those bytes, one signer (the
time-stamping authority) with the authenticated attributes content type,
signing time and message digest, and the authority's certificates.

Only the Python standard library and the openssl command are used.
"""
import argparse
import base64
import datetime
import hashlib
import http.server
import os
import subprocess
import sys
import tempfile
import time

OID_DATA = "1.2.840.113549.1.7.1"
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_RSA = "1.2.840.113549.1.1.1"
DIGESTS = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1"}


# --- DER writing ---------------------------------------------------------
def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + head + content


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def set_of(*parts):
    # DER orders the elements of a SET OF by their encodings.
    return tlv(0x31, b"".join(sorted(parts)))


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    body = bytes([arcs[0] * 40 + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def integer(value):
    raw = value.to_bytes((value.bit_length() + 8) // 8 or 1, "big")
    return tlv(0x02, raw)


def algorithm(dotted):
    return seq(oid(dotted), b"\x05\x00")


def utc_time(when):
    stamp = datetime.datetime.fromtimestamp(when, datetime.timezone.utc)
    if 1950 <= stamp.year < 2050:
        return tlv(0x17, stamp.strftime("%y%m%d%H%M%SZ").encode())
    return tlv(0x18, stamp.strftime("%Y%m%d%H%M%SZ").encode())


# --- DER reading (just enough, bounds-checked) ---------------------------
def read_tlv(data, pos):
    """Returns (tag, content start, content end) of the element at pos."""
    if pos + 2 > len(data):
        raise ValueError("truncated header")
    tag, first = data[pos], data[pos + 1]
    pos += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise ValueError("bad length")
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise ValueError("content runs past the end")
    return tag, pos, pos + length


def children(data, start, end):
    out = []
    while start < end:
        tag, cs, ce = read_tlv(data, start)
        out.append((tag, cs, ce, start))
        start = ce
    return out


def content_to_sign(request):
    # TimeStampRequest -> [1] content info -> [1] [0] -> OCTET STRING
    _, s, e = read_tlv(request, 0)
    parts = children(request, s, e)
    _, cs, ce, _ = parts[1]
    info = children(request, cs, ce)
    _, ws, we, _ = info[1]
    tag, os_, oe = read_tlv(request, ws)
    if tag != 0x04:
        raise ValueError("no OCTET STRING to counter-sign")
    return request[os_:oe]


def issuer_and_serial(cert):
    _, s, e = read_tlv(cert, 0)
    _, ts, te = read_tlv(cert, s)  # tbsCertificate
    fields = children(cert, ts, te)
    if fields[0][0] == 0xA0:  # explicit version
        fields = fields[1:]
    serial, issuer = fields[0], fields[2]
    # (tag, content start, content end, element start): copy whole elements
    return seq(cert[issuer[3]:issuer[2]], cert[serial[3]:serial[2]])


def pem_to_der_list(path):
    text = open(path).read()
    out = []
    for block in text.split("-----BEGIN CERTIFICATE-----")[1:]:
        body = block.split("-----END CERTIFICATE-----")[0]
        out.append(base64.b64decode("".join(body.split())))
    return out


# --- the response --------------------------------------------------------
def rsa_sign(key_path, digest, data):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(data)
        name = f.name
    try:
        return subprocess.run(["openssl", "dgst", "-" + digest, "-sign", key_path, name],
                              check=True, capture_output=True).stdout
    finally:
        os.unlink(name)


def counter_signature(content, when, certs, key_path, digest):
    signer_cert = certs[0]
    hashed = hashlib.new(digest, content).digest()
    attrs = [
        seq(oid(OID_CONTENT_TYPE), set_of(oid(OID_DATA))),
        seq(oid(OID_SIGNING_TIME), set_of(utc_time(when))),
        seq(oid(OID_MESSAGE_DIGEST), set_of(tlv(0x04, hashed))),
    ]
    attrs.sort()
    # The signature covers the attributes encoded as a SET OF; the signer info
    # carries the same elements under the implicit tag [0].
    signature = rsa_sign(key_path, digest, tlv(0x31, b"".join(attrs)))
    signer_info = seq(
        integer(1),
        issuer_and_serial(signer_cert),
        algorithm(DIGESTS[digest]),
        tlv(0xA0, b"".join(attrs)),
        algorithm(OID_RSA),
        tlv(0x04, signature),
    )
    signed_data = seq(
        integer(1),
        set_of(algorithm(DIGESTS[digest])),
        seq(oid(OID_DATA), tlv(0xA0, tlv(0x04, content))),
        tlv(0xA0, b"".join(certs)),
        set_of(signer_info),
    )
    return seq(oid(OID_SIGNED_DATA), tlv(0xA0, signed_data))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--certs", required=True, help="PEM: the authority first, then its chain")
    parser.add_argument("--key", required=True, help="the authority's private key (PEM)")
    parser.add_argument("--digest", default="sha256", choices=sorted(DIGESTS))
    parser.add_argument("--port-file", required=True, help="written with the port once listening")
    parser.add_argument("--max-requests", type=int, default=16)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds until it stops")
    args = parser.parse_args()

    certs = pem_to_der_list(args.certs)
    deadline = time.monotonic() + args.timeout
    served = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            served[0] += 1
            try:
                length = int(self.headers.get("Content-Length", "0"))
                if length <= 0 or length > 1 << 20:
                    raise ValueError("bad request length")
                request = base64.b64decode(b"".join(self.rfile.read(length).split()))
                path = self.path.strip("/")
                when = int(path) if path.isdigit() else int(time.time())
                body = base64.b64encode(counter_signature(
                    content_to_sign(request), when, certs, args.key, args.digest))
            except Exception as error:  # answer, never hang the client
                self.send_response(400)
                self.end_headers()
                sys.stderr.write("legacy_tsa: %s\n" % error)
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *unused):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)
    while served[0] < args.max_requests:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        server.timeout = min(left, 1.0)
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    main()
