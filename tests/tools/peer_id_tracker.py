#!/usr/bin/env python3
"""A minimal tracker that answers HTTP announces with the dictionary form of
the peer list, each peer with the peer id it announced (opentracker answers
only with compact address lists). It takes UDP announces (BEP 15) on the same
port too: they carry a client's handshake peer id, where an HTTP announce may
carry a fresh one. Peers are recorded at the announce's source address. One
line per announce on stdout.

    peer_id_tracker.py ADDRESS PORT
"""
import http.server
import socket
import struct
import sys
import threading
import urllib.parse


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, str):
        return bencode(v.encode())
    if isinstance(v, list):
        return b"l" + b"".join(bencode(x) for x in v) + b"e"
    if isinstance(v, dict):
        return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"
    raise TypeError(v)


swarms = {}  # info hash -> {peer id: (address, port)}
lock = threading.Lock()


def record(info_hash, peer_id, address, port, how):
    """Records the announcer; returns the other peers as (peer id, address, port)."""
    with lock:
        swarm = swarms.setdefault(info_hash, {})
        others = [(i, a, p) for i, (a, p) in swarm.items() if i != peer_id]
        swarm[peer_id] = (address, port)
    print("announce %s %s:%d %s" % (how, address, port, peer_id.hex()), flush=True)
    return others


def serve_udp(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, port))
    while True:
        data, sender = sock.recvfrom(2048)
        if len(data) < 16:
            continue
        action, transaction = struct.unpack(">II", data[8:16])
        if action == 0:  # connect
            sock.sendto(struct.pack(">IIQ", 0, transaction, 0x5A4C5244), sender)
        elif action == 1 and len(data) >= 98:  # announce
            info_hash, peer_id = data[16:36], data[36:56]
            (listen_port,) = struct.unpack(">H", data[96:98])
            others = record(info_hash, peer_id, sender[0], listen_port, "udp")
            compact = b"".join(socket.inet_aton(a) + struct.pack(">H", p) for _, a, p in others)
            sock.sendto(struct.pack(">IIIII", 1, transaction, 30, 0, len(others)) + compact, sender)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {}
        for part in url.query.split("&"):  # binary values: percent-decoded to bytes
            key, _, value = part.partition("=")
            query[key] = urllib.parse.unquote_to_bytes(value)
        try:
            info_hash = query["info_hash"]
            peer_id = query["peer_id"]
            port = int(query["port"])
        except (KeyError, ValueError):
            return self.answer({"failure reason": "bad announce"})
        others = record(info_hash, peer_id, self.client_address[0], port, "http")
        self.answer({"interval": 30, "peers": [{"ip": a, "port": p, "peer id": i} for i, a, p in others]})

    def answer(self, value):
        body = bencode(value)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    threading.Thread(target=serve_udp, args=(sys.argv[1], int(sys.argv[2])), daemon=True).start()
    server = http.server.ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), Handler)
    print("listening %s:%d" % server.server_address, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
