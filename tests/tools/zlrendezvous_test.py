#!/usr/bin/env python3
"""Runs zlrendezvous on 127.0.8.1 (a free port) and talks to it as two engines
would: registration and keep-alive answered with address reports, a connect
request by node id and by placeholder answered with the target (a marker
before the placeholder's answer) and a punch request sent to the target, an
unknown target left out, one log line per event, a clean stop on SIGTERM.

    zlrendezvous_test.py path/to/zlrendezvous
"""

import os
import signal
import socket
import struct
import subprocess
import sys

HOST = "127.0.8.1"


def tag(node_id):
    return node_id + b"UDP0"


def registration(node_id, request, local_ip, local_port):
    return (b"\0" * 12 + struct.pack(">I", 2) + tag(node_id) + struct.pack(">I", request)
            + socket.inet_aton(local_ip) + struct.pack(">I", local_port) + b"\0" * 24)


def connect_request(node_id, request, local_ip, local_port, targets):
    m = (b"\0" * 12 + struct.pack(">I", 3) + tag(node_id) + struct.pack(">I", request)
         + socket.inet_aton(local_ip) + struct.pack(">III", local_port, 1, len(targets)))
    for ip, target_id in targets:
        m += socket.inet_aton(ip) + b"\0" * 4 + target_id
    return m


def placeholder(ip, port):
    return b"\0\0" + socket.inet_aton(ip) + struct.pack(">H", port)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    binary = sys.argv[1]
    proc = subprocess.Popen([binary, "--bind", HOST, "--port", "0", "--expire", "60"],
                            stdout=subprocess.PIPE, text=True)
    try:
        first = proc.stdout.readline().strip()
        check(first.startswith("zlrendezvous listening on %s:" % HOST), first)
        server = (HOST, int(first.rsplit(":", 1)[1]))

        a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        a.bind(("127.0.8.2", 0))
        b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        b.bind(("127.0.8.3", 0))
        for s in (a, b):
            s.settimeout(5)
        a_id, b_id = b"\xa1" * 8, b"\xb1" * 8
        a_port, b_port = a.getsockname()[1], b.getsockname()[1]

        # Registration: answered with the address and port the server saw.
        a.sendto(registration(a_id, 1, "127.0.8.2", a_port), server)
        report, _ = a.recvfrom(100)
        check(report == socket.inet_aton("127.0.8.2") + struct.pack(">I", a_port), report)
        b.sendto(registration(b_id, 1, "127.0.8.3", 6881), server)
        b.recvfrom(100)
        # Keep-alive from a registered engine: answered likewise.
        a.sendto(b"\0" * 8, server)
        check(len(a.recvfrom(100)[0]) == 8, "keep-alive report")

        # A connect request naming B by id, B by placeholder (its address and
        # listening port) and someone unknown.
        a.sendto(connect_request(a_id, 7, "127.0.8.2", a_port,
                                 [("127.0.8.3", b_id), ("127.0.8.3", placeholder("127.0.8.3", 6881)),
                                  ("127.0.8.9", b"\x77" * 8)]), server)
        reply, _ = a.recvfrom(1000)
        check(struct.unpack(">I", reply[12:16])[0] == 0x80000003, "reply type")
        check(reply[16:28] == tag(a_id), "reply tag")
        check(struct.unpack(">I", reply[28:32])[0] == 7, "request number")
        count = struct.unpack(">I", reply[44:48])[0]
        check(count == 3 and len(reply) >= 48 + 16 * count, "entries %d" % count)
        entries = [reply[48 + 16 * i:64 + 16 * i] for i in range(count)]
        b_entry = socket.inet_aton("127.0.8.3") + struct.pack(">I", b.getsockname()[1]) + b_id
        check(entries[0] == b_entry, entries[0])
        check(entries[1] == socket.inet_aton("127.0.8.3") + b"\xff" * 4 + placeholder("127.0.8.3", 6881), entries[1])
        check(entries[2] == b_entry, entries[2])
        # B is asked to punch towards A, once per entry found.
        for _ in range(2):
            punch, _ = b.recvfrom(100)
            check(len(punch) == 32 and punch[:4] == b"\x33" * 4, punch)
            check(punch[4:16] == tag(a_id), "requester tag")
            check(punch[20:24] == socket.inet_aton("127.0.8.2"), "requester address")
            check(struct.unpack(">I", punch[24:28])[0] == a_port, "requester port")

        # Junk is logged and ignored; the server keeps going.
        a.sendto(b"\x01\x02\x03", server)
        a.sendto(b"\0" * 8, server)
        a.recvfrom(100)
    finally:
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=10)
    check(proc.returncode == 0, "exit status %s" % proc.returncode)
    lines = out.splitlines()
    check(lines[-1] == "zlrendezvous stopped", lines[-1:])
    for needle in ("register a1a1a1a1a1a1a1a1 from 127.0.8.2:", "register b1b1b1b1b1b1b1b1",
                   "keepalive 127.0.8.2:", "punch-request to b1b1b1b1b1b1b1b1",
                   "connect-request 7 from a1a1a1a1a1a1a1a1", "2 of 3 found", "ignored 3 bytes"):
        check(any(needle in line for line in lines), "no log line with %r in %s" % (needle, lines))
    print("zlrendezvous: %d log lines, all checks passed" % len(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
