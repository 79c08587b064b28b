#!/usr/bin/env python3
"""An RFC 3161 time-stamp responder on the loopback address for the
signed-release tests: each POSTed TimeStampReq is answered by `openssl ts
-reply` with the given authority. Bounded: it answers at most --max-requests
requests and stops by itself after --timeout seconds, whatever happens.

usage: rfc3161_responder.py --port-file F --cert TSA.pem --key TSA.key
                            --chain CHAIN.pem
The port it listens on (chosen by the system) is written to F once it listens.
"""
import argparse
import http.server
import os
import shutil
import subprocess
import tempfile
import time

CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {dir}/serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1.1
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--chain", required=True)
    parser.add_argument("--max-requests", type=int, default=16)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tsa-")
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("01\n")
    config = os.path.join(work, "tsa.cnf")
    with open(config, "w") as f:
        f.write(CONFIG.format(dir=work))

    answered = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(min(int(self.headers.get("Content-Length", 0)), 65536))
            request, response = os.path.join(work, "req.der"), os.path.join(work, "resp.der")
            with open(request, "wb") as f:
                f.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", request,
                                   "-signer", args.cert, "-inkey", args.key, "-chain", args.chain,
                                   "-out", response], capture_output=True, timeout=30)
            body = open(response, "rb").read() if done.returncode == 0 else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            answered[0] += 1

        def log_message(self, *_):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.timeout = 1
    with open(args.port_file + ".new", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(args.port_file + ".new", args.port_file)
    deadline = time.monotonic() + args.timeout
    while answered[0] < args.max_requests and time.monotonic() < deadline:
        server.handle_request()
    server.server_close()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
