#!/usr/bin/env python3
"""zlfetch get --dht on loopback (127.0.82.x), through thirty of our DHT nodes
(kad_swarm_tool) and with no tracker, no known peer and no LAN discovery:

  download   an aria2c seeder (its own DHT off), announced by the swarm node on
             its address; zlfetch joins through --dht-node, completes and
             announces itself, and keeps its node cache in the download folder;
  seed       a zlfetch seed --dht joins through --dht-node and announces itself;
             a zlfetch get --dht (bound to no address, so without LAN discovery)
             finds it and completes with the right bytes; the seed keeps its node
             cache in $XDG_DATA_HOME and writes nothing into the folder it serves;
             a second seed with the DHT runs without the cache the first holds;
  refuse     unusable --dht-node values exit 2 at once, naming the value (get and seed).

    dht_download_test.py ZLFETCH KAD_SWARM_TOOL [CASE...]
Skips (exit 0 with a note) when aria2c or mktorrent is missing. Every wait polls
for what it waits on, with a generous limit, so a loaded machine is slower but
not failing.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import bt_swarm  # noqa: E402
from bt_swarm import check, failures, random_file  # noqa: E402

ZLFETCH = sys.argv[1]
SWARM_TOOL = sys.argv[2]
CASES = sys.argv[3:] or ["refuse", "download", "seed"]
NEEDS = {"refuse": ["mktorrent"], "download": ["mktorrent", "aria2c"], "seed": ["mktorrent"]}
NODES = 30


class Swarm:
    """kad_swarm_tool in its own process group, stopped by stop()."""

    def __init__(self, first, count, extra):
        self.count = count
        self.process = subprocess.Popen([SWARM_TOOL, first, str(count)] + extra, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, start_new_session=True)
        ready = self.process.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "READY":
            self.stop()
            raise RuntimeError("the DHT swarm did not start: %r" % ready)
        self.router = ready[1]

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().split()

    def stats(self):
        """(nodes known, nodes answered, peers stored) summed over the swarm, then
        the nodes that have answered the first node."""
        answer = self.ask("stats")
        return tuple(int(x) for x in answer[1:5]) if answer[:1] == ["STATS"] else (0, 0, 0, 0)

    def wait_formed(self, timeout=60):
        """Until the first node (every node's router) can name the others. It names
        only nodes that have answered it, which they do once its first refresh
        asks them (5 s) and not when they join: an announce made earlier is stored
        at the router alone, far from the info hash, where lookups do not look.
        (A full far bucket may leave a few out, so half the swarm will do.)"""
        return bt_swarm.wait_until(lambda: self.stats()[3] >= self.count // 2, timeout, 0.2)

    def wait_stored(self, peers, timeout):
        return bt_swarm.wait_until(lambda: self.stats()[2] >= peers, timeout, 0.5)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


class JsonProcess:
    """A zlfetch command with --json in its own process group; its JSON lines are
    collected as they come, and stop() ends it with SIGTERM."""

    def __init__(self, args, log, env=None):
        self.log = open(log, "w")
        self.lines = []
        self.process = subprocess.Popen(args + ["--json"], stdout=subprocess.PIPE, stderr=self.log, text=True,
                                        env=env, start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            try:
                self.lines.append(json.loads(line))
            except ValueError:
                pass

    def last(self):
        return self.lines[-1] if self.lines else {}

    def stop(self):
        """(exit status, final JSON line or None)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.reader.join(5)
        self.log.close()
        finals = [line for line in self.lines if line.get("final")]
        return self.process.returncode, finals[-1] if finals else None


def download_through_dht(swarm, torrent, src, dst, address, size, stored_before=None):
    """zlfetch get --dht with no other way to find a peer: it completes with the
    right bytes, all from BitTorrent. Given the swarm's stored peer count before
    it, it must also announce itself: it keeps serving after completion until
    that announce is seen, so a slow announce is not cut short by a fast download."""
    # Without an address (None) the get binds none, which also keeps LAN discovery off.
    port = bt_swarm.free_tcp_udp_port(address or "0.0.0.0")
    bind = ["--bind", address] if address else []
    get = JsonProcess([ZLFETCH, "get", torrent, "--dir", dst, "--no-trackers", "--dht-node", swarm.router,
                       "--port", str(port), "--seed-after", "600"] + bind, dst + ".log")
    try:
        done = bt_swarm.wait_until(lambda: get.last().get("status") == "complete" or get.process.poll() is not None,
                                   120, 0.2)
        check(done and get.last().get("status") == "complete",
              "zlfetch get completes through the DHT: %s" % get.last())
        if stored_before is not None:
            check(swarm.wait_stored(stored_before + 1, 60), "zlfetch get announced itself too: %s" % (swarm.stats(),))
    finally:
        rc, final = get.stop()
    check(rc == 0, "zlfetch get exits 0 when stopped after completing (exit %s)" % rc)
    if final:
        print("found through the DHT and downloaded in %.1f s: %d BitTorrent bytes, %d peers seen"
              % (final["elapsed_s"], final["bt_bytes"], final["peers"]), flush=True)
    got = os.path.join(dst, "pkg.bin")
    check(os.path.exists(got) and bt_swarm.md5_of(got) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
          "MD5 of the file found through the DHT")
    if check(final is not None, "a final JSON line from zlfetch get"):
        check(final["bt_bytes"] >= size and final["http_bytes"] == 0, "every byte came from the peer: %s" % final)
    check(os.path.exists(os.path.join(dst, "ZephyrloaderKademlia.kad")), "get keeps its node cache in its folder")


def make_package(t, seed):
    src = os.path.join(t, "src")
    os.makedirs(src)
    size = 6 * 1024 * 1024 + 12345
    random_file(os.path.join(src, "pkg.bin"), size, seed)
    # The torrent's only tracker answers nothing, and zlfetch is told to ignore it anyway.
    torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://127.0.82.250:9/announce",
                                    256)
    return src, torrent, size


def case_refuse(work):
    t = os.path.join(work, "r")
    os.makedirs(os.path.join(t, "src"))
    random_file(os.path.join(t, "src", "a.bin"), 100000, 1)
    torrent = bt_swarm.make_torrent(os.path.join(t, "src"), "a.bin", os.path.join(t, "a.torrent"),
                                    "http://127.0.82.250:9/announce", 32)
    for command in ("get", "seed"):
        for value, why in (("127.0.82.3", "HOST:PORT"), ("127.0.82.3:0", "1 to 65535"),
                           ("127.0.82.3:70000", "1 to 65535"), (":6881", "HOST:PORT"), ("[::1]:6881", "IPv4")):
            start = time.time()
            run = subprocess.run([ZLFETCH, command, torrent, "--dir", os.path.join(t, "src"), "--dht-node", value],
                                 capture_output=True, text=True, timeout=20)
            text = run.stdout + run.stderr
            check(run.returncode == 2 and value in text and why in text and time.time() - start < 10,
                  "%s --dht-node %s refused with exit 2: %s" % (command, value, text[-300:]))


def case_download(work):
    t = os.path.join(work, "d")
    src, torrent, size = make_package(t, 9)
    seeder = bt_swarm.Aria2Seeder(torrent, src, "127.0.82.200", os.path.join(t, "aria2.log"))
    swarm = None
    try:
        swarm = Swarm("127.0.82.100", NODES, ["127.0.82.200"])
        check(swarm.wait_formed(), "the DHT swarm forms: %s" % (swarm.stats(),))
        answer = swarm.ask("announce %s %d 127.0.82.200" % (bt_swarm.info_hash(torrent), seeder.port))
        if not check(answer[:1] == ["ANNOUNCED"] and int(answer[1]) >= 1, "the seeder is announced: %s" % answer):
            return
        download_through_dht(swarm, torrent, src, os.path.join(t, "dst"), "127.0.82.201", size, swarm.stats()[2])
    finally:
        if swarm:
            swarm.stop()
        seeder.stop()


def case_seed(work):
    t = os.path.join(work, "s")
    src, torrent, size = make_package(t, 10)
    before = sorted(os.listdir(src))
    xdg = os.path.join(t, "xdg")
    swarm = seed = other = None
    try:
        swarm = Swarm("127.0.82.130", NODES, [])
        check(swarm.wait_formed(), "the DHT swarm forms: %s" % (swarm.stats(),))
        port = bt_swarm.free_tcp_udp_port("127.0.82.202")
        seed = JsonProcess([ZLFETCH, "seed", torrent, "--dir", src, "--no-trackers", "--dht-node", swarm.router,
                            "--bind", "127.0.82.202", "--port", str(port)], os.path.join(t, "seed.log"),
                           env=dict(os.environ, XDG_DATA_HOME=xdg))
        check(bt_swarm.wait_until(lambda: seed.last().get("state") == "seeding" or seed.process.poll() is not None,
                                  60, 0.1) and seed.last().get("state") == "seeding",
              "zlfetch seed --dht serves: %s" % seed.last())
        started = time.time()
        # The get looks only once the seed is in the DHT: a lookup that finds nobody waits 30 s to look again.
        if not check(swarm.wait_stored(1, 90), "zlfetch seed announced itself in the DHT: %s" % (swarm.stats(),)):
            return
        print("the seed was announced %.1f s after it began to serve" % (time.time() - started), flush=True)
        # A second seed with the DHT must not share the first one's node cache (and so its node id).
        other_log = os.path.join(t, "other-seed.log")
        other = JsonProcess([ZLFETCH, "seed", torrent, "--dir", src, "--no-trackers", "--dht",
                             "--port", str(bt_swarm.free_tcp_udp_port("0.0.0.0"))], other_log,
                            env=dict(os.environ, XDG_DATA_HOME=xdg))
        bt_swarm.wait_until(lambda: other.last().get("state") == "seeding" or other.process.poll() is not None, 60, 0.1)
        other.stop()
        with open(other_log) as f:
            text = f.read()
        check(other.last().get("state") == "stopped" and "node cache is not kept: another seed" in text,
              "a second seed with the DHT serves without the cache the first holds: %s %s" % (other.last(), text))
        # The get binds no address, so it runs no LAN discovery and can find the seed only through the DHT.
        download_through_dht(swarm, torrent, src, os.path.join(t, "dst"), None, size)
        rc, final = seed.stop()
        check(rc == 0, "the seed stops cleanly on SIGTERM (exit %s)" % rc)
        check(final is not None and final["uploaded_bytes"] >= size, "the seed uploaded the whole file: %s" % final)
        check(sorted(os.listdir(src)) == before, "nothing written into the seed's folder: %s" % os.listdir(src))
        check(os.path.exists(os.path.join(xdg, "ZPHR", "Zephyrloader", "ZephyrloaderKademlia.kad")),
              "the seed keeps its node cache under $XDG_DATA_HOME")
    finally:
        for process in (other, seed):
            if process:
                process.stop()
        if swarm:
            swarm.stop()


def run_case(case, work):
    missing = [tool for tool in NEEDS[case] if not shutil.which(tool)]
    if missing:
        print("== %s skipped: %s not installed" % (case, ", ".join(missing)), flush=True)
        return
    print("== %s started" % case, flush=True)
    try:
        globals()["case_" + case](work)
    except Exception as e:  # noqa: BLE001 - a broken case is a failure, not a hang of the others
        check(False, "%s raised %r" % (case, e))
    print("== %s finished" % case, flush=True)


def main():
    work = tempfile.mkdtemp(prefix="zl-dht-download-")
    try:
        # The cases use their own addresses and swarms, and mostly wait on the
        # engine's 8-second DHT steps: they run side by side.
        threads = [threading.Thread(target=run_case, args=(case, work)) for case in CASES]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
