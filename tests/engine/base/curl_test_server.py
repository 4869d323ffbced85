#!/usr/bin/env python3
"""A small HTTP(S) server for the libcurl exchange's tests.

    curl_test_server.py --host ADDR [--cert PEM --key PEM]

Prints "listening ADDR PORT" once it accepts. GET or POST /size/N answers N
bytes; /redirect answers 302 to /size/10; /hang sends nothing until the
client gives up. Ends on SIGTERM.
"""
import argparse
import http.server
import signal
import ssl
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self):
        if self.path.startswith("/size/"):
            body = b"x" * int(self.path[6:])
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif self.path == "/redirect":
            self.send_response(302)
            self.send_header("Location", "/size/10")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/hang":
            time.sleep(30)
        else:
            self.send_error(404)

    def do_GET(self):
        self.answer()

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.answer()

    def log_message(self, *args):
        pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    args = p.parse_args()
    server = http.server.ThreadingHTTPServer((args.host, 0), Handler)
    server.daemon_threads = True
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"listening {args.host} {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
