#!/usr/bin/env python3
"""zlfetch get --dht on loopback (127.0.7.x):

  download   a task with no tracker and no known peer downloads a torrent found
             only through the DHT: thirty of our DHT nodes (kad_swarm_tool), one
             of them on the seeder's address announcing the seeder's port; an
             aria2c seeder (its own DHT off); zlfetch joins through --dht-node;
  refuse     unusable --dht-node values exit 2 at once, naming the value.

    dht_download_test.py ZLFETCH KAD_SWARM_TOOL [CASE...]
Skips (exit 0 with a note) when aria2c or mktorrent is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import bt_swarm  # noqa: E402

ZLFETCH = sys.argv[1]
SWARM_TOOL = sys.argv[2]
CASES = sys.argv[3:] or ["refuse", "download"]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return condition


def random_file(path, size, seed):
    import random
    with open(path, "wb") as f:
        f.write(random.Random(seed).randbytes(size))


class Swarm:
    """kad_swarm_tool in its own process group, stopped by stop()."""

    def __init__(self, first, count, extra):
        self.process = subprocess.Popen([SWARM_TOOL, first, str(count)] + extra, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, start_new_session=True)
        ready = self.process.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "READY":
            raise RuntimeError("the DHT swarm did not start: %r" % ready)
        self.router = ready[1]

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().split()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(self.process.pid, 9)
                self.process.wait()


def case_refuse(work):
    t = os.path.join(work, "r")
    os.makedirs(os.path.join(t, "src"))
    random_file(os.path.join(t, "src", "a.bin"), 100000, 1)
    torrent = bt_swarm.make_torrent(os.path.join(t, "src"), "a.bin", os.path.join(t, "a.torrent"),
                                    "http://127.0.7.250:9/announce", 32)
    for value, why in (("127.0.7.3", "HOST:PORT"), ("127.0.7.3:0", "1 to 65535"), ("127.0.7.3:70000", "1 to 65535"),
                       (":6881", "HOST:PORT"), ("[::1]:6881", "IPv4")):
        start = time.time()
        rc, _, text = bt_swarm.zlfetch_get(ZLFETCH, torrent, os.path.join(t, "dst"), ["--dht-node", value],
                                           timeout=20)
        check(rc == 2 and value in text and why in text and time.time() - start < 10,
              "--dht-node %s refused with exit 2: %s" % (value, text[-300:]))


def case_download(work):
    t = os.path.join(work, "d")
    src = os.path.join(t, "src")
    dst = os.path.join(t, "dst")
    os.makedirs(src)
    size = 6 * 1024 * 1024 + 12345
    random_file(os.path.join(src, "pkg.bin"), size, 9)
    # The torrent's only tracker answers nothing, and zlfetch is told to ignore it anyway.
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://127.0.7.250:9/announce", 256)
    seeder = bt_swarm.Aria2Seeder(torrent, src, "127.0.7.200", os.path.join(t, "aria2.log"))
    swarm = None
    try:
        swarm = Swarm("127.0.7.100", 30, ["127.0.7.200"])
        time.sleep(3)  # the nodes find each other
        answer = swarm.ask("announce %s %d 127.0.7.200" % (bt_swarm.info_hash(torrent), seeder.port))
        if not check(answer[:1] == ["ANNOUNCED"] and int(answer[1]) >= 1, "the seeder is announced: %s" % answer):
            return
        port = bt_swarm.free_tcp_udp_port("127.0.7.201")
        rc, final, text = bt_swarm.zlfetch_get(
            ZLFETCH, torrent, dst,
            ["--no-trackers", "--dht-node", swarm.router, "--bind", "127.0.7.201", "--port", str(port)], timeout=120)
        check(rc == 0, "zlfetch completes through the DHT: %s" % text[-800:])
        if final:
            print("found through the DHT and downloaded in %.1f s: %d BitTorrent bytes, %d peers seen"
                  % (final["elapsed_s"], final["bt_bytes"], final["peers"]), flush=True)
        if os.path.exists(os.path.join(dst, "pkg.bin")):
            check(bt_swarm.md5_of(os.path.join(dst, "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
                  "MD5 of the file found through the DHT")
        if check(final is not None, "a final JSON line"):
            check(final["bt_bytes"] >= size and final["http_bytes"] == 0, "every byte came from the peer: %s" % final)
        check(os.path.exists(os.path.join(dst, "ZephyrloaderKademlia.kad")), "the node cache is kept in the folder")
        stats = swarm.ask("stats")
        check(stats[:1] == ["STATS"] and int(stats[3]) >= 2, "zlfetch announced itself too: %s" % stats)
    finally:
        if swarm:
            swarm.stop()
        seeder.stop()


def main():
    for tool in ("aria2c", "mktorrent"):
        if not shutil.which(tool):
            print("skip: %s is not installed" % tool)
            return 0
    work = tempfile.mkdtemp(prefix="zl-dht-download-")
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
