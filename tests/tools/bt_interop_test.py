#!/usr/bin/env python3
"""zlfetch get against real BitTorrent clients on loopback (127.0.4.x):

  seeders    aria2c and python3-libtorrent seeders found through opentracker (HTTP
             announce for one torrent, UDP for the other): a single-file torrent and a
             multi-file torrent with an empty file and a file that does not start on a
             piece boundary arrive with the right bytes;
  transmission  a transmission-daemon seeder found through opentracker (127.0.10.x):
             both torrents arrive with the right bytes from it alone;
  p2sp       one nginx mirror and two capped seeders at once: every kind's byte counter
             shows it contributed, and the MD5 is right;
  upload     our engine holds the data; a python3-libtorrent leecher found through the
             tracker completes from our engine alone;
  refuse     unusable --source/--tracker/--peer values exit 2 at once, naming the value.

    bt_interop_test.py ZLFETCH [CASE...]
Skips (exit 0 with a note) when opentracker, aria2c or python3-libtorrent is missing.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import bt_swarm  # noqa: E402
from bt_swarm import check, failures, random_file  # noqa: E402

ZLFETCH = sys.argv[1]
CASES = sys.argv[2:] or ["refuse", "seeders", "transmission", "p2sp", "upload"]


def case_refuse(work):
    t = os.path.join(work, "r")
    os.makedirs(os.path.join(t, "src"))
    random_file(os.path.join(t, "src", "a.bin"), 100000, 1)
    torrent = bt_swarm.make_torrent(os.path.join(t, "src"), "a.bin", os.path.join(t, "a.torrent"),
                                    "http://127.0.4.9:1/announce", 32)
    bad = [
        (["--source", "https://127.0.4.2/a.bin"], "https"),
        (["--source", "http://[::1]:8080/f"], "IPv6"),
        (["--source", "gopher://127.0.4.2/a"], "unknown scheme"),
        (["--tracker", "wss://127.0.4.2/announce"], "unknown scheme"),
        (["--peer", "127.0.0.1:6881"], "127.0.0.1"),
        (["--peer", "127.0.4.2"], "HOST:PORT"),
        (["--peer", "[::1]:6881"], "IPv6"),
        (["--peer", "127.0.4.2:70000"], "port"),
    ]
    for args, word in bad:
        start = time.time()
        run = subprocess.run([ZLFETCH, "get", torrent, "--dir", os.path.join(t, "out")] + args, capture_output=True,
                             text=True, timeout=20)
        check(run.returncode == 2, "%s exits 2 (got %s)" % (args, run.returncode))
        check(args[1] in run.stderr and word in run.stderr, "%s names the value and why: %r" % (args, run.stderr))
        check(time.time() - start < 5, "%s is refused at once" % args)


def case_seeders(work):
    if not bt_swarm.have_libtorrent():
        print("skip seeders: python3-libtorrent missing")
        return
    t = os.path.join(work, "s")
    src = os.path.join(t, "src")
    os.makedirs(os.path.join(src, "multi", "sub"))
    random_file(os.path.join(src, "single.bin"), 12 * 1024 * 1024 + 12345, 2)
    # A multi-file torrent: the empty file, and files that do not start on a piece boundary.
    random_file(os.path.join(src, "multi", "a.bin"), 300001, 3)
    open(os.path.join(src, "multi", "empty.bin"), "wb").close()
    random_file(os.path.join(src, "multi", "sub", "c.bin"), 5 * 1024 * 1024 + 7, 4)
    tracker_address = "127.0.4.10"
    single = bt_swarm.make_torrent(src, "single.bin", os.path.join(t, "single.torrent"), "http://x/announce", 256)
    multi = bt_swarm.make_torrent(src, "multi", os.path.join(t, "multi.torrent"), "http://x/announce", 64)
    tracker = bt_swarm.Tracker(t, tracker_address, [single, multi])
    # Re-made with the real announce URLs: HTTP for one, UDP for the other.
    single = bt_swarm.make_torrent(src, "single.bin", os.path.join(t, "single.torrent"), tracker.http, 256)
    multi = bt_swarm.make_torrent(src, "multi", os.path.join(t, "multi.torrent"), tracker.udp, 64)
    peers = []
    try:
        for name, torrent in (("single", single), ("multi", multi)):
            aria = bt_swarm.Aria2Seeder(torrent, src, "127.0.4.3", os.path.join(t, name + "-aria2.log"))
            lt = bt_swarm.LtPeer(torrent, src, "127.0.4.4", os.path.join(t, name + "-lt.log"), "seed")
            peers += [aria, lt]
            time.sleep(3)  # both announce first
            out = os.path.join(t, "out-" + name)
            rc, final, text = bt_swarm.zlfetch_get(ZLFETCH, torrent, out, [], timeout=90)
            check(rc == 0 and final and final["status"] == "complete", "%s completes: %s" % (name, text[-600:]))
            if final:
                check(final["bt_bytes"] > 0 and final["http_bytes"] == 0, "%s came from peers: %s" % (name, final))
                check(final["elapsed_s"] > 0 and final["average_speed_bps"] > 0, "%s final speed: %s" % (name, final))
            if name == "single":
                check(bt_swarm.md5_of(os.path.join(out, "single.bin")) ==
                      bt_swarm.md5_of(os.path.join(src, "single.bin")), "single MD5")
            else:
                for rel in ("a.bin", "empty.bin", os.path.join("sub", "c.bin")):
                    got = os.path.join(out, "multi", rel)
                    check(os.path.exists(got) and bt_swarm.md5_of(got) ==
                          bt_swarm.md5_of(os.path.join(src, "multi", rel)), "multi %s MD5" % rel)
            for p in peers:
                p.stop()
            peers = []
    finally:
        for p in peers:
            p.stop()
        tracker.stop()


def case_transmission(work):
    if not bt_swarm.have_transmission():
        print("skip transmission: transmission-daemon is not installed")
        return
    t = os.path.join(work, "t")
    src = os.path.join(t, "src")
    os.makedirs(os.path.join(src, "multi", "sub"))
    random_file(os.path.join(src, "single.bin"), 6 * 1024 * 1024 + 4321, 7)
    random_file(os.path.join(src, "multi", "a.bin"), 200003, 8)
    open(os.path.join(src, "multi", "empty.bin"), "wb").close()
    random_file(os.path.join(src, "multi", "sub", "c.bin"), 3 * 1024 * 1024 + 11, 9)
    single = bt_swarm.make_torrent(src, "single.bin", os.path.join(t, "single.torrent"), "http://x/announce", 256)
    multi = bt_swarm.make_torrent(src, "multi", os.path.join(t, "multi.torrent"), "http://x/announce", 64)
    tracker = bt_swarm.Tracker(t, "127.0.10.10", [single, multi])
    single = bt_swarm.make_torrent(src, "single.bin", os.path.join(t, "single.torrent"), tracker.http, 256)
    multi = bt_swarm.make_torrent(src, "multi", os.path.join(t, "multi.torrent"), tracker.udp, 64)
    seeder = None
    try:
        for name, torrent in (("single", single), ("multi", multi)):
            # It ignores the 127.x peers a tracker names, so it announces first
            # and our engine, told about it by the tracker, connects in.
            seeder = bt_swarm.TransmissionSeeder(torrent, src, "127.0.10.3", os.path.join(t, name))
            if not check(seeder.ready(30), "transmission verified and announced %s" % name):
                return
            out = os.path.join(t, "out-" + name)
            rc, final, text = bt_swarm.zlfetch_get(ZLFETCH, torrent, out, [], timeout=120)
            check(rc == 0 and final and final["status"] == "complete", "%s completes: %s" % (name, text[-600:]))
            if final:
                check(final["bt_bytes"] > 0 and final["http_bytes"] == 0, "%s came from the peer: %s" % (name, final))
            names = ["single.bin"] if name == "single" else [os.path.join("multi", r) for r in
                                                                ("a.bin", "empty.bin", os.path.join("sub", "c.bin"))]
            for rel in names:
                got = os.path.join(out, rel)
                check(os.path.exists(got) and bt_swarm.md5_of(got) == bt_swarm.md5_of(os.path.join(src, rel)),
                      "%s %s MD5" % (name, rel))
            seeder.stop()
            seeder = None
    finally:
        if seeder:
            seeder.stop()
        tracker.stop()


def case_p2sp(work):
    if not bt_swarm.have_libtorrent() or not os.path.exists("/usr/sbin/nginx"):
        print("skip p2sp: python3-libtorrent or nginx missing")
        return
    t = os.path.join(work, "m")
    src = os.path.join(t, "src")
    os.makedirs(src)
    random_file(os.path.join(src, "pkg.bin"), 16 * 1024 * 1024, 5)
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://x/announce", 256)
    tracker = bt_swarm.Tracker(t, "127.0.4.11", [torrent])
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), tracker.http, 256)
    harness = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness", "mirrors.py")
    mirrors = subprocess.Popen([sys.executable, harness, "--root", src, "--mirrors", "slow", "--slow-rate", "2m"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, start_new_session=True)
    peers = []
    try:
        urls = json.loads(mirrors.stdout.readline())
        aria = bt_swarm.Aria2Seeder(torrent, src, "127.0.4.12", os.path.join(t, "aria2.log"), limit_kib=2048)
        lt = bt_swarm.LtPeer(torrent, src, "127.0.4.13", os.path.join(t, "lt.log"), "seed", limit_kib=2048)
        peers = [aria, lt]
        time.sleep(3)
        rc, final, text = bt_swarm.zlfetch_get(ZLFETCH, torrent, os.path.join(t, "out"),
                                               ["--source", urls["slow"] + "pkg.bin"], timeout=90)
        check(rc == 0 and final and final["status"] == "complete", "p2sp completes: %s" % text[-600:])
        if final:
            check(final["http_bytes"] > 0, "the mirror contributed: %s" % final)
            check(final["bt_bytes"] > 0, "the peers contributed: %s" % final)
        check(bt_swarm.md5_of(os.path.join(t, "out", "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "p2sp MD5")
    finally:
        for p in peers:
            p.stop()
        mirrors.terminate()
        mirrors.wait()
        tracker.stop()


def case_upload(work):
    if not bt_swarm.have_libtorrent():
        print("skip upload: python3-libtorrent missing")
        return
    t = os.path.join(work, "u")
    src = os.path.join(t, "src")
    os.makedirs(src)
    random_file(os.path.join(src, "pkg.bin"), 8 * 1024 * 1024 + 999, 6)
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://x/announce", 256)
    tracker = bt_swarm.Tracker(t, "127.0.4.14", [torrent])
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), tracker.http, 256)
    leech_dir = os.path.join(t, "leech")
    os.makedirs(leech_dir)
    leecher = bt_swarm.LtPeer(torrent, leech_dir, "127.0.4.15", os.path.join(t, "leech.log"), "leech", timeout=60)
    try:
        time.sleep(2)  # the leecher announces first, so the tracker names it to us
        # Our engine holds the whole file and serves for a while after "completing" at once.
        rc, final, text = bt_swarm.zlfetch_get(ZLFETCH, torrent, src, ["--seed-after", "25"], timeout=60)
        check(rc == 0, "seeding run exits 0: %s" % text[-600:])
        check(leecher.wait(30) == 0, "the leecher completes from our engine: %s" % leecher.process.text()[-600:])
        check(bt_swarm.md5_of(os.path.join(leech_dir, "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "upload MD5")
        if final:
            check(final["uploaded_bytes"] >= os.path.getsize(os.path.join(src, "pkg.bin")),
                  "uploaded bytes counted: %s" % final)
    finally:
        leecher.stop()
        tracker.stop()


def main():
    for tool in ("opentracker", "aria2c", "mktorrent"):
        if not shutil.which(tool):
            print("skip: %s is not installed" % tool)
            return 0
    work = tempfile.mkdtemp(prefix="zl-bt-interop-")
    try:
        for case in CASES:
            print("== " + case, flush=True)
            globals()["case_" + case](work)
    finally:
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
