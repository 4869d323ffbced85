#!/usr/bin/env python3
"""zlfetch get beyond a plain torrent file, against real peers on loopback (127.0.14.x):

  linktext   zlfetch get '<link text>' downloads the file from an aria2c seeder found
             through the opentracker named in the text; the bytes are right, and the
             output says the pieces were not verified;
  refuse     link texts missing a marker, with a short hash or a bad piece length
             exit 2 at once with the reason;
  padding    a hybrid (v1+v2) multi-file torrent made by libtorrent 2.0, with padding
             entries: zlfetch check on the complete folder exits 0, a download from a
             libtorrent seeder completes, and no ".pad" entry appears on disk;
  transfer   a download stopped halfway, then resumed with the same file's torrent
             in another piece length: the seeder serves no byte that was verified
             before (its upload counter is the measure).

    link_text_test.py ZLFETCH [CASE...]
Skips (exit 0 with a note) when opentracker, aria2c, mktorrent or python3-libtorrent is missing.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import bt_swarm  # noqa: E402
from bt_swarm import check, failures, random_file  # noqa: E402

ZLFETCH = sys.argv[1]
CASES = sys.argv[2:] or ["refuse", "linktext", "padding", "transfer"]


def link_text(torrent, size, piece_length, tracker):
    return "$Hash$%s$Size$%d$Length$%d$Tracker$%s$End$" % (
        bt_swarm.info_hash(torrent).upper(), size, piece_length, tracker.replace("://", "$$$", 1))


# A libtorrent seeder that reports the payload it has uploaded ("UP n" lines).
SEEDER = r"""
import sys, time, libtorrent as lt
tor, save, listen, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
ses = lt.session({'listen_interfaces': listen, 'outgoing_interfaces': listen.rsplit(':', 1)[0],
                  'enable_dht': False, 'enable_lsd': False, 'enable_upnp': False, 'enable_natpmp': False,
                  'enable_incoming_utp': False, 'enable_outgoing_utp': False, 'upload_rate_limit': limit * 1024})
if limit:
    f = lt.ip_filter()  # loopback peers are limited too
    f.add_rule('0.0.0.0', '255.255.255.255', 1 << lt.session.global_peer_class_id)
    ses.set_peer_class_filter(f)
h = ses.add_torrent({'ti': lt.torrent_info(tor), 'save_path': save, 'flags': lt.torrent_flags.seed_mode})
print('READY', flush=True)
while True:
    print('UP %d' % h.status().total_payload_upload, flush=True)
    time.sleep(0.2)
"""


class CountingSeeder:
    def __init__(self, work, torrent, folder, address, name, limit_kib=0):
        self.port = bt_swarm.free_port(address)
        script = os.path.join(work, "counting_seeder.py")
        with open(script, "w") as f:
            f.write(SEEDER)
        self.process = bt_swarm.Process([bt_swarm.SYSTEM_PYTHON, script, torrent, folder,
                                         "%s:%d" % (address, self.port), str(limit_kib)],
                                        os.path.join(work, name + ".log"))
        bt_swarm.wait_until(lambda: "READY" in self.process.text() or not self.process.alive(), 10)

    def uploaded(self):
        ups = [int(line.split()[1]) for line in self.process.text().splitlines() if line.startswith("UP ")]
        return ups[-1] if ups else 0

    def stop(self):
        self.process.stop()


def run_get(argument, out, extra, timeout=90):
    cmd = [ZLFETCH, "get", argument, "--dir", out, "--json"] + extra
    try:
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return None, None, str(e.stdout or "") + str(e.stderr or ""), ""
    final = None
    for line in run.stdout.splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if obj.get("final"):
            final = obj
    return run.returncode, final, run.stdout + run.stderr, run.stderr


def case_refuse(work):
    good = "$Hash$" + "ab" * 20 + "$Size$100000$Length$16384$Tracker$http$$$127.0.14.9:1/announce$End$"
    rows = [
        (good.replace("$Size$100000", ""), '"$Size$"'),
        (good.replace("$End$", ""), '"$End$"'),
        (good.replace("ab" * 20, "ab" * 19), "40 hexadecimal"),
        (good.replace("$Length$16384", "$Length$0"), "piece length"),
        (good.replace("$Length$16384", "$Length$20000"), "piece length"),
    ]
    for text, word in rows:
        start = time.time()
        run = subprocess.run([ZLFETCH, "get", text, "--dir", os.path.join(work, "refused")], capture_output=True,
                             text=True, timeout=20)
        check(run.returncode == 2, "%r exits 2 (got %s)" % (text, run.returncode))
        check("link text" in run.stderr and word in run.stderr, "%r says why: %r" % (text, run.stderr))
        check(time.time() - start < 5, "%r is refused at once" % text)


def case_linktext(work):
    t = os.path.join(work, "l")
    src = os.path.join(t, "src")
    size = 6 * 1024 * 1024 + 4321
    random_file(os.path.join(src, "pkg.bin"), size, 14)
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://x/announce", 256)
    tracker = bt_swarm.Tracker(t, "127.0.14.2", [torrent])
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), tracker.http, 256)
    seeder = bt_swarm.Aria2Seeder(torrent, src, "127.0.14.3", os.path.join(t, "aria2.log"))
    try:
        time.sleep(3)  # the seeder announces first
        text = link_text(torrent, size, 256 * 1024, tracker.http)
        for name, extra, path in (("in the folder", [], os.path.join(t, "out", "001.zlinfo")),
                                  ("to --out", ["--out", os.path.join(t, "chosen.bin")], os.path.join(t, "chosen.bin"))):
            rc, final, output, stderr = run_get(text, os.path.join(t, "out" if not extra else "out2"), extra)
            check(rc == 0 and final and final["status"] == "complete", "link text %s completes: %s" %
                  (name, output[-800:]))
            if final:
                check(final["bt_bytes"] >= size and final["pieces_verified"] is False,
                      "link text %s: from the seeder, pieces not verified: %s" % (name, final))
            check("NOT verified" in stderr, "link text %s says the pieces are not verified: %r" % (name, stderr))
            check(os.path.exists(path) and bt_swarm.md5_of(path) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
                  "link text %s: the bytes are right" % name)
    finally:
        seeder.stop()
        tracker.stop()


HYBRID = r"""
import os, sys, libtorrent as lt
src, out, announce = sys.argv[1], sys.argv[2], sys.argv[3]
fs = lt.file_storage()
lt.add_files(fs, src)
ct = lt.create_torrent(fs, 65536)  # hybrid v1+v2: every file starts on a piece, padding between
ct.add_tracker(announce, 0)
lt.set_piece_hashes(ct, os.path.dirname(src))
with open(out, 'wb') as f:
    f.write(lt.bencode(ct.generate()))
"""


def pad_entries(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        found += [os.path.join(root, n) for n in dirs + files if n.startswith(".pad") or "padding" in n]
    return found


def case_padding(work):
    t = os.path.join(work, "p")
    src = os.path.join(t, "src", "game")
    for rel, size, seed in (("a.bin", 100001, 1), ("sub/b.bin", 3 * 65536 + 17, 2), ("c.txt", 5, 3),
                            ("d.bin", 2 * 1024 * 1024 + 3, 4)):
        random_file(os.path.join(src, rel), size, seed)
    script = os.path.join(t, "hybrid.py")
    with open(script, "w") as f:
        f.write(HYBRID)
    torrent = os.path.join(t, "game.torrent")
    subprocess.run([bt_swarm.SYSTEM_PYTHON, script, src, torrent, "http://x/announce"], check=True)
    check(b"4:attr1:p" in open(torrent, "rb").read() and b"piece layers" in open(torrent, "rb").read(),
          "libtorrent made a hybrid torrent with padding entries")
    tracker = bt_swarm.Tracker(t, "127.0.14.4", [torrent])
    subprocess.run([bt_swarm.SYSTEM_PYTHON, script, src, torrent, tracker.http], check=True)

    run = subprocess.run([ZLFETCH, "check", torrent, "--dir", os.path.dirname(src), "--json"], capture_output=True,
                         text=True, timeout=60)
    check(run.returncode == 0, "check on the complete folder exits 0: %s" % (run.stdout + run.stderr))
    check(not pad_entries(os.path.dirname(src)), "check creates no padding file")

    seeder = bt_swarm.LtPeer(torrent, os.path.dirname(src), "127.0.14.5", os.path.join(t, "lt.log"), "seed")
    try:
        time.sleep(3)
        out = os.path.join(t, "out")
        rc, final, output, _ = run_get(torrent, out, [])
        check(rc == 0 and final and final["status"] == "complete" and final["pieces_verified"] is True,
              "the hybrid torrent downloads from libtorrent: %s" % output[-800:])
        for rel in ("a.bin", "sub/b.bin", "c.txt", "d.bin"):
            got = os.path.join(out, "game", rel)
            check(os.path.exists(got) and bt_swarm.md5_of(got) == bt_swarm.md5_of(os.path.join(src, rel)),
                  "hybrid %s MD5" % rel)
        check(not pad_entries(out), "no padding entry on disk: %s" % pad_entries(out))
        run = subprocess.run([ZLFETCH, "check", torrent, "--dir", out], capture_output=True, text=True, timeout=60)
        check(run.returncode == 0, "the download checks complete: %s" % run.stdout)
    finally:
        seeder.stop()
        tracker.stop()


def case_transfer(work):
    t = os.path.join(work, "t")
    src = os.path.join(t, "src")
    size = 16 * 1024 * 1024 + 777
    random_file(os.path.join(src, "big.bin"), size, 15)
    # The same file in pieces of 32 KiB and of 256 KiB: the same name, so the
    # same resume file, and info hashes of their own.
    small = bt_swarm.make_torrent(src, "big.bin", os.path.join(t, "small.torrent"), "http://x/announce", 32)
    large = bt_swarm.make_torrent(src, "big.bin", os.path.join(t, "large.torrent"), "http://x/announce", 256)
    tracker = bt_swarm.Tracker(t, "127.0.14.6", [small, large])
    small = bt_swarm.make_torrent(src, "big.bin", os.path.join(t, "small.torrent"), tracker.http, 32)
    large = bt_swarm.make_torrent(src, "big.bin", os.path.join(t, "large.torrent"), tracker.http, 256)
    out = os.path.join(t, "out")
    seeder = CountingSeeder(t, small, src, "127.0.14.7", "seed-small", limit_kib=2048)
    try:
        time.sleep(3)
        # Halfway, the download is interrupted (as a user presses Ctrl-C).
        proc = subprocess.Popen([ZLFETCH, "get", small, "--dir", out, "--json"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        verified = 0
        deadline = time.time() + 60
        for line in proc.stdout:
            obj = json.loads(line)
            if not obj.get("final") and obj["bytes_done"] >= size * 0.45:
                proc.send_signal(signal.SIGINT)
            if obj.get("final"):
                verified = obj["bytes_done"]
            if time.time() > deadline:
                proc.kill()
        proc.wait(30)
        check(size * 0.3 < verified < size, "the first run stopped halfway: %d of %d bytes verified" % (verified, size))
    finally:
        seeder.stop()
    seeder = CountingSeeder(t, large, src, "127.0.14.8", "seed-large")
    try:
        time.sleep(3)
        rc, final, output, _ = run_get(large, out, [])
        check(rc == 0 and final and final["status"] == "complete", "the resumed run completes: %s" % output[-800:])
        check(bt_swarm.md5_of(os.path.join(out, "big.bin")) == bt_swarm.md5_of(os.path.join(src, "big.bin")),
              "transfer MD5")
        time.sleep(0.5)
        served = seeder.uploaded()
        print("transfer: %d bytes verified in pieces of 32 KiB; the seeder of the 256 KiB torrent served %d of the "
              "%d missing" % (verified, served, size - verified), flush=True)
        check(0 < served <= size - verified, "nothing verified was fetched again: served %d, missing %d" %
              (served, size - verified))
    finally:
        seeder.stop()
        tracker.stop()


def main():
    for tool in ("opentracker", "aria2c", "mktorrent"):
        if not shutil.which(tool):
            print("skip: %s is not installed" % tool)
            return 0
    if not bt_swarm.have_libtorrent():
        print("skip: python3-libtorrent is not installed")
        return 0
    work = tempfile.mkdtemp(prefix="zl-lt-")
    try:
        for case in CASES:
            print("== " + case, flush=True)
            globals()["case_" + case](work)
    finally:
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("FAILED: %d" % len(failures) if failures else "OK")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
