#!/usr/bin/env python3
"""Floods one DHT node with KRPC queries from many source ports: pings,
find_node and get_peers for random targets, announce_peer with the tokens
each port was given, and some malformed datagrams. Every query carries a
fresh random node id. Prints "sent N answers M" at the end.

usage: kad_flood.py HOST PORT BIND_ADDRESS COUNT SOCKETS
"""
import os
import random
import select
import socket
import sys


def query(method, args, tid):
    node_id = os.urandom(20)
    body = b"d1:ad2:id20:" + node_id + args + b"e1:q" + str(len(method)).encode() + b":" + method.encode()
    return body + b"1:t" + str(len(tid)).encode() + b":" + tid + b"1:y1:qe"


def main():
    host, port, bind, count, nsockets = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
    target = (host, port)
    socks = []
    for _ in range(nsockets):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((bind, 0))
        s.setblocking(False)
        socks.append(s)
    answers = 0
    tokens = {}
    # Every port asks once for a token.
    for s in socks:
        s.sendto(query("get_peers", b"9:info_hash20:" + os.urandom(20), os.urandom(8)), target)
    deadline_rounds = 40
    while len(tokens) < len(socks) and deadline_rounds > 0:
        ready, _, _ = select.select(socks, [], [], 0.05)
        if not ready:
            deadline_rounds -= 1
        for s in ready:
            try:
                data = s.recv(9000)
            except BlockingIOError:
                continue
            answers += 1
            at = data.find(b"5:token20:")
            if at >= 0:
                tokens[s] = data[at + 10:at + 30]
    sent = 0
    rng = random.Random(7)
    while sent < count:
        s = socks[sent % len(socks)]
        kind = sent % 11
        tid = os.urandom(8)
        if kind in (0, 1, 2):
            msg = query("ping", b"", tid)
        elif kind in (3, 4):
            msg = query("find_node", b"6:target20:" + os.urandom(20), tid)
        elif kind in (5, 6):
            msg = query("get_peers", b"9:info_hash20:" + os.urandom(20), tid)
        elif kind in (7, 8):
            token = tokens.get(s, b"")
            msg = query("announce_peer", b"9:info_hash20:" + os.urandom(20) + b"4:porti" +
                        str(rng.randint(1, 65535)).encode() + b"e5:token" + str(len(token)).encode() + b":" + token, tid)
        elif kind == 9:
            msg = query("ping", b"", os.urandom(2))  # a transaction id we do not accept
        else:
            msg = b"d" + os.urandom(rng.randint(8, 300))  # not bencode
        try:
            s.sendto(msg, target)
        except (BlockingIOError, OSError):
            pass
        sent += 1
        if sent % 64 == 0:
            for r in select.select(socks, [], [], 0)[0]:
                try:
                    while True:
                        r.recv(9000)
                        answers += 1
                except (BlockingIOError, OSError):
                    pass
    for _ in range(20):
        ready, _, _ = select.select(socks, [], [], 0.05)
        for r in ready:
            try:
                while True:
                    r.recv(9000)
                    answers += 1
            except (BlockingIOError, OSError):
                pass
    print("sent %d answers %d tokens %d" % (sent, answers, len(tokens)), flush=True)


if __name__ == "__main__":
    main()
