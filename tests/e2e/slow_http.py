#!/usr/bin/env python3
"""A loopback HTTP server that logs every request and answers slowly.

It stands at the URLs that test certificates name for their issuer, CRL and
OCSP responder, so that a test can see whether anything went to them and
whether waiting for them would have stalled the caller. Every request line is
appended to the log at once; the answer, a 404, comes only after --delay
seconds. Listens on 127.0.0.1 only, and stops by itself after --timeout
seconds.

usage: slow_http.py --port N --log FILE --ready-file FILE
                    [--delay S] [--timeout S] [--bind-wait S]
The ready file receives the port once the server listens. A port that is
taken (another test run using it) is tried again for up to --bind-wait
seconds.
"""
import argparse
import http.server
import os
import sys
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--delay", type=float, default=30.0)
    parser.add_argument("--timeout", type=float, default=90.0)
    parser.add_argument("--bind-wait", type=float, default=60.0)
    args = parser.parse_args()
    started = time.monotonic()
    lock = threading.Lock()
    with open(args.log, "a", encoding="utf-8"):
        pass

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_request_line(self):
            with lock, open(args.log, "a", encoding="utf-8") as log:
                log.write(f"{self.command} {self.path}\n")
                log.flush()
                os.fsync(log.fileno())

        def answer_slowly(self):
            self.log_request_line()
            time.sleep(args.delay)
            try:
                self.send_error(404)
            except OSError:
                pass

        do_GET = answer_slowly
        do_POST = answer_slowly
        do_HEAD = answer_slowly

        def log_message(self, *unused):
            pass

    server = None
    while server is None:
        try:
            server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
        except OSError as error:
            if time.monotonic() - started > args.bind_wait:
                print(f"slow_http: cannot listen on 127.0.0.1:{args.port}: {error}",
                      file=sys.stderr)
                return 1
            time.sleep(0.5)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    with open(args.ready_file, "w", encoding="utf-8") as ready:
        ready.write(f"{args.port}\n")
    remaining = args.timeout - (time.monotonic() - started)
    if remaining > 0:
        time.sleep(remaining)
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
