#!/usr/bin/env python3
"""zlfetch get and zlfetch seed with --rendezvous register with zlrendezvous
(and answers its address report with keep-alives' registration state);
without it nothing registers. The download itself has only a dead source, so
each run is stopped with SIGTERM after the check; the seed serves its data.

    zlfetch_rendezvous_test.py path/to/zlfetch path/to/zlrendezvous
"""
import hashlib
import os
import select
import signal
import subprocess
import sys
import tempfile
import time


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, str):
        return bencode(v.encode())
    if isinstance(v, dict):
        return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"
    raise TypeError(v)


def lines_until(proc, needle, seconds):
    """Reads proc's stdout lines until one contains needle; returns all lines read."""
    seen = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            line = proc.stdout.readline()
            if not line:
                break
            seen.append(line.strip())
            if needle in line:
                return seen
    return seen


def main():
    zlfetch, zlrendezvous = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="zl-us-rdv-")
    data = os.urandom(40000)
    torrent = os.path.join(work, "t.torrent")
    with open(torrent, "wb") as f:
        pieces = b"".join(hashlib.sha1(data[i:i + 16384]).digest() for i in range(0, len(data), 16384))
        f.write(bencode({"info": {"name": "payload.bin", "length": len(data), "piece length": 16384,
                                  "pieces": pieces}}))
    os.makedirs(os.path.join(work, "seed"))
    with open(os.path.join(work, "seed", "payload.bin"), "wb") as f:
        f.write(data)
    server = subprocess.Popen([zlrendezvous, "--bind", "127.0.8.1", "--port", "0"], stdout=subprocess.PIPE, text=True)
    status = 1
    try:
        port = int(server.stdout.readline().strip().rsplit(":", 1)[1])

        for command in ("get", "seed"):
            def run(extra):
                where = ["--source", "http://127.0.8.9:9/payload.bin"] if command == "get" else []
                folder = os.path.join(work, "out" if command == "get" else "seed")
                return subprocess.Popen([zlfetch, command, torrent, "--dir", folder, "--no-trackers", "--port", "0"] +
                                        where + extra, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            proc = run(["--rendezvous", "127.0.8.1:%d" % port])
            seen = lines_until(server, "register ", 15)
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
            if not any("register " in line for line in seen):
                print("%s: no registration with --rendezvous: %s" % (command, seen))
                return 1

            proc = run([])
            seen = lines_until(server, "register ", 3)
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
            if any("register " in line for line in seen):
                print("%s: registered without --rendezvous: %s" % (command, seen))
                return 1

            bad = subprocess.run([zlfetch, command, torrent, "--dir", os.path.join(work, "out"), "--rendezvous",
                                  "host-without-port"], capture_output=True, text=True)
            if bad.returncode != 2 or "--rendezvous" not in bad.stderr:
                print("%s: a bad --rendezvous gave %d: %s" % (command, bad.returncode, bad.stderr))
                return 1
        print("zlfetch get and seed --rendezvous: register with it, and not without it")
        status = 0
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=10)
    return status


if __name__ == "__main__":
    sys.exit(main())
