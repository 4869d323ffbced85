#!/usr/bin/env python3
"""zlfetch seed (and zlfetch get's listener) against real BitTorrent clients on 127.0.11.x:

  refuse       a missing folder, a file that is no torrent, a torrent of other data and a
               port in use exit 2 at once with a clear message;
  aria2c       an aria2c leecher finds the seed through opentracker and completes (its
               obfuscated handshake answered at once, plain text after it);
  libtorrent   python3-libtorrent leechers complete from the seed alone: found through
               opentracker, and told the seed as a known peer (connect_peer);
  partial      a copy with a damaged piece and a missing file serves exactly its verified
               pieces, and says so;
  transmission a transmission-daemon leecher in a network namespace (zl-sd-tr, 10.99.0.x on
               its lo) connects out to the seed found through opentracker and completes
               (preferring encryption, it offers RC4 only: the stream stays encrypted);
  swarm        zlfetch seed, a zlfetch get and an aria2c leecher through opentracker: both
               leechers complete and the get uploads to aria2c while it downloads;
  disguise     a zlfetch get with the HTTP-looking preamble on downloads from the seed; a
               relay between them sees the preamble go out and the reply header come back;
  lan          two engines in a network namespace (zl-sd-lan) with no tracker and no known
               peer find each other by LAN discovery and the leecher completes; an
               announcement whose payload names another host than its sender is not trusted;
  load         2000 connections that send nothing or garbage while an honest leecher
               downloads: the leecher completes, the seed's open descriptors stay bounded,
               every flooding connection is closed, and memory stays flat.

    seed_interop_test.py ZLFETCH [CASE...]
Cases whose counterparts are missing are skipped with a note.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import bt_swarm  # noqa: E402
from bt_swarm import failures, random_file  # noqa: E402


def check(condition, what):
    return bt_swarm.check(condition, what, say_ok=True)


ZLFETCH = os.path.abspath(sys.argv[1])
CASES = sys.argv[2:] or ["refuse", "aria2c", "libtorrent", "partial", "transmission", "swarm", "disguise", "lan",
                         "load"]
HERE = os.path.dirname(os.path.abspath(__file__))


def have(tool):
    return shutil.which(tool) is not None


class Seed:
    """zlfetch seed --json in the background; `ready` once it serves, `final` after stop()."""

    def __init__(self, torrent, folder, address, log, args=(), netns=None, port=None):
        # In a namespace the caller names the port; here a free one is found.
        self.port = port if port else bt_swarm.free_port(address)
        cmd = [ZLFETCH, "seed", torrent, "--dir", folder, "--bind", address, "--port", str(self.port), "--json"]
        cmd += list(args)
        if netns:
            cmd = ["ip", "netns", "exec", netns] + cmd
        self.process = bt_swarm.Process(cmd, log)
        self.lines = []
        self.ready = bt_swarm.wait_until(lambda: self._read() and self.state() == "seeding", 30, 0.1)

    def _read(self):
        self.lines = []
        for line in self.process.text().splitlines():
            try:
                self.lines.append(json.loads(line))
            except ValueError:
                pass
        return bool(self.lines) or not self.process.alive()

    def state(self):
        return self.lines[-1].get("state") if self.lines else None

    def last(self):
        self._read()
        return self.lines[-1] if self.lines else {}

    def stop(self):
        if self.process.proc.poll() is None:
            self.process.proc.send_signal(2)  # SIGINT, as Ctrl-C
            try:
                rc = self.process.proc.wait(15)
                check(rc == 0, "the seed stops cleanly on SIGINT (exit %s)" % rc)
            except subprocess.TimeoutExpired:
                check(False, "the seed stops within 15 s of SIGINT")
        text = self.process.text()
        self.process.stop()
        final = None
        for line in text.splitlines():
            try:
                obj = json.loads(line)
            except ValueError:
                continue
            if obj.get("final"):
                final = obj
        return final, text


LT_LEECH = r"""
import sys, time, libtorrent as lt
tor, save, listen, timeout = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
peer = sys.argv[5] if len(sys.argv) > 5 else ''
ses = lt.session({'listen_interfaces': listen, 'outgoing_interfaces': listen.rsplit(':', 1)[0],
                  'enable_dht': False, 'enable_lsd': False, 'enable_upnp': False, 'enable_natpmp': False,
                  'enable_incoming_utp': False, 'enable_outgoing_utp': False,
                  'alert_mask': lt.alert.category_t.error_notification | lt.alert.category_t.status_notification})
ti = lt.torrent_info(tor)
params = {'ti': ti, 'save_path': save}
if peer:
    params['trackers'] = []
h = ses.add_torrent(params)
if peer:
    h.replace_trackers([])
t0 = time.time()
connected = False
while time.time() - t0 < timeout:
    if peer and time.time() - t0 > 0.2 and not connected:
        host, port = peer.rsplit(':', 1)
        h.connect_peer((host, int(port)))
        connected = True
    for a in ses.pop_alerts():
        pass
    s = h.status()
    have = sum(1 for i in range(ti.num_pieces()) if h.have_piece(i))
    print('PROGRESS %d %d' % (have, ti.num_pieces()), flush=True)
    if s.is_seeding:
        print('COMPLETE %.2f' % (time.time() - t0), flush=True)
        sys.exit(0)
    time.sleep(0.25)
print('TIMEOUT', flush=True)
sys.exit(1)
"""


def lt_leecher(work, torrent, folder, address, log, timeout=60, peer=None):
    script = os.path.join(work, "lt_leech.py")
    with open(script, "w") as f:
        f.write(LT_LEECH)
    os.makedirs(folder, exist_ok=True)
    args = [bt_swarm.SYSTEM_PYTHON, script, torrent, folder, "%s:%d" % (address, bt_swarm.free_port(address)),
            str(timeout)]
    if peer:
        args.append(peer)
    return bt_swarm.Process(args, log)


def aria2c_leech(torrent, folder, address, log, timeout=90, debug_log=None):
    args = ["aria2c", "--no-conf", "--dir=" + folder, "--seed-time=0", "--enable-dht=false", "--enable-dht6=false",
            "--bt-enable-lpd=false", "--enable-peer-exchange=false", "--interface=" + address,
            "--listen-port=%d" % bt_swarm.free_port(address), "--file-allocation=none", "--console-log-level=warn",
            "--summary-interval=0", "--bt-stop-timeout=%d" % timeout, torrent]
    if debug_log:
        args[1:1] = ["--log=" + debug_log, "--log-level=info"]
    with open(log, "w") as out:
        try:
            return subprocess.run(args, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return None


def tracker_lists(tracker, torrent, address, port):
    """Whether opentracker lists address:port for the torrent (asked from another peer's point of view)."""
    ih = bytes.fromhex(bt_swarm.info_hash(torrent))
    import urllib.parse
    import urllib.request
    query = "info_hash=%s&peer_id=-QQ0000-000000000000&port=1&left=1&uploaded=0&downloaded=0&compact=1" % (
        urllib.parse.quote_from_bytes(ih))
    try:
        body = urllib.request.urlopen("%s?%s" % (tracker.http, query), timeout=2).read()
        # The question listed us too: leave again, or clients would dial it.
        urllib.request.urlopen("%s?%s&event=stopped" % (tracker.http, query), timeout=2).read()
    except OSError:
        return False
    want = socket.inet_aton(address) + port.to_bytes(2, "big")
    at = body.find(b"5:peers")
    if at < 0:
        return False
    colon = body.index(b":", at + 7)
    n = int(body[at + 7:colon])
    peers = body[colon + 1:colon + 1 + n]
    return any(peers[i:i + 6] == want for i in range(0, len(peers), 6))


def make_data(t, name, size, seed, piece_kib=256, announce="http://127.0.11.1:1/announce"):
    src = os.path.join(t, "src")
    os.makedirs(src, exist_ok=True)
    random_file(os.path.join(src, name), size, seed)
    return src, bt_swarm.make_torrent(src, name, os.path.join(t, name + ".torrent"), announce, piece_kib)


def with_tracker(t, src, name, address, piece_kib=256):
    """A fresh opentracker for the torrent, and the torrent re-made with its announce URL."""
    first = bt_swarm.make_torrent(src, name, os.path.join(t, name + ".torrent"), "http://x/announce", piece_kib)
    tracker = bt_swarm.Tracker(t, address, [first])
    return tracker, bt_swarm.make_torrent(src, name, os.path.join(t, name + ".torrent"), tracker.http, piece_kib)


# --- cases ----------------------------------------------------------------------------------------

def case_refuse(work):
    t = os.path.join(work, "refuse")
    src, torrent = make_data(t, "a.bin", 300000, 1, 32)
    other_src = os.path.join(t, "other")
    os.makedirs(other_src)
    random_file(os.path.join(other_src, "a.bin"), 300000, 2)  # same name and size, other bytes
    junk = os.path.join(t, "junk.torrent")
    with open(junk, "wb") as f:
        f.write(b"<html>not a torrent</html>")
    holder = socket.socket()
    holder.bind(("127.0.11.3", 0))
    holder.listen(1)
    busy = holder.getsockname()[1]
    cases = [
        ([torrent, "--dir", os.path.join(t, "missing")], "no folder"),
        ([junk, "--dir", src], "not a usable torrent"),
        ([os.path.join(t, "nothing.torrent"), "--dir", src], "cannot read"),
        ([torrent, "--dir", other_src, "--bind", "127.0.11.3"], "no verified piece"),
        ([torrent, "--dir", src, "--bind", "127.0.11.3", "--port", str(busy)], "in use"),
        ([torrent, "--dir", src, "--bind", "127.0.11.300"], "--bind"),
        ([torrent, "--dir", src, "--port", "70000"], "--port"),
        ([torrent, "--dir", src, "--tracker", "wss://127.0.11.2/announce"], "--tracker"),
    ]
    try:
        for args, words in cases:
            start = time.time()
            run = subprocess.run([ZLFETCH, "seed"] + args + ["--no-trackers"], capture_output=True, text=True,
                                 timeout=30)
            check(run.returncode == 2, "seed %s exits 2 (got %s: %s)" % (words, run.returncode, run.stderr.strip()))
            check(words in run.stderr, "seed %s says so: %r" % (words, run.stderr.strip()))
            check(time.time() - start < 10, "seed %s is refused at once" % words)
    finally:
        holder.close()


def case_aria2c(work):
    t = os.path.join(work, "aria2c")
    src, _ = make_data(t, "pkg.bin", 20 * 1024 * 1024 + 12345, 3)
    tracker, torrent = with_tracker(t, src, "pkg.bin", "127.0.11.2")
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"))
    try:
        check(seed.ready, "the seed serves: %s" % seed.process.text()[-300:])
        check(bt_swarm.wait_until(lambda: tracker_lists(tracker, torrent, "127.0.11.3", seed.port), 15, 0.2),
              "the tracker lists the seed at its bind address and port")
        out = os.path.join(t, "leech")
        debug = os.path.join(t, "aria2c-debug.log")
        rc = aria2c_leech(torrent, out, "127.0.11.4", os.path.join(t, "aria2c.log"), debug_log=debug)
        check(rc == 0, "aria2c completes from zlfetch seed (rc %s)" % rc)
        # aria2c opens with the obfuscated handshake; the seed answers it
        # (in plain text after it) instead of making aria2c reconnect.
        text = open(debug, errors="replace").read() if os.path.exists(debug) else ""
        check("Retry using legacy BitTorrent handshake" not in text and "Connecting to 127.0.11.3" in text,
              "aria2c's obfuscated handshake is answered at once")
        check(os.path.exists(os.path.join(out, "pkg.bin")) and
              bt_swarm.md5_of(os.path.join(out, "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "aria2c's copy has the right MD5")
    finally:
        final, text = seed.stop()
        tracker.stop()
    check(final is not None and final["uploaded_bytes"] >= 20 * 1024 * 1024 and final["ratio"] >= 1.0,
          "the seed counts what it uploaded: %s" % (final or text[-300:]))


def case_libtorrent(work):
    if not bt_swarm.have_libtorrent():
        print("skip libtorrent: python3-libtorrent missing")
        return
    t = os.path.join(work, "lt")
    src, _ = make_data(t, "pkg.bin", 12 * 1024 * 1024 + 999, 4)
    tracker, torrent = with_tracker(t, src, "pkg.bin", "127.0.11.2")
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"))
    try:
        check(seed.ready, "the seed serves")
        bt_swarm.wait_until(lambda: tracker_lists(tracker, torrent, "127.0.11.3", seed.port), 15, 0.2)
        for how, peer in (("through opentracker", None), ("as a known peer", "127.0.11.3:%d" % seed.port)):
            out = os.path.join(t, "leech-" + how.split()[-1])
            leecher = lt_leecher(t, torrent, out, "127.0.11.5", os.path.join(t, "lt-%s.log" % how.split()[-1]),
                                 60, peer)
            rc = leecher.proc.wait(90)
            check(rc == 0, "libtorrent completes from zlfetch seed %s: %s" % (how, leecher.text()[-200:]))
            leecher.stop()
            check(bt_swarm.md5_of(os.path.join(out, "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
                  "libtorrent's copy (%s) has the right MD5" % how)
    finally:
        seed.stop()
        tracker.stop()


def case_partial(work):
    if not bt_swarm.have_libtorrent():
        print("skip partial: python3-libtorrent missing")
        return
    t = os.path.join(work, "partial")
    src = os.path.join(t, "src")
    os.makedirs(os.path.join(src, "pkg"))
    random_file(os.path.join(src, "pkg", "a.bin"), 2 * 1024 * 1024, 5)
    random_file(os.path.join(src, "pkg", "b.bin"), 1024 * 1024, 6)
    torrent = bt_swarm.make_torrent(src, "pkg", os.path.join(t, "pkg.torrent"), "http://127.0.11.1:1/announce", 64)
    # Piece 5 damaged, and the last file (16 pieces) missing: 31 of 48 pieces are good.
    with open(os.path.join(src, "pkg", "a.bin"), "r+b") as f:
        f.seek(5 * 65536 + 100)
        f.write(b"damaged")
    os.remove(os.path.join(src, "pkg", "b.bin"))
    before = sorted(os.listdir(os.path.join(src, "pkg")))
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"), ["--no-trackers"])
    try:
        check(seed.ready, "a partial seed serves")
        first = seed.lines[[i for i, l in enumerate(seed.lines) if l.get("state") == "seeding"][0]] if seed.ready \
            else {}
        check(first.get("partial") is True and first.get("pieces_have") == 31 and first.get("pieces_total") == 48,
              "it says it is partial, with 31 of 48 pieces: %s" % first)
        out = os.path.join(t, "leech")
        leecher = lt_leecher(t, torrent, out, "127.0.11.5", os.path.join(t, "lt.log"), 20, "127.0.11.3:%d" % seed.port)
        got = bt_swarm.wait_until(lambda: "PROGRESS 31 48" in leecher.text(), 20, 0.2)
        time.sleep(2)  # nothing more comes
        check(got and "PROGRESS 32" not in leecher.text(), "the leecher gets exactly the 31 verified pieces")
        leecher.stop()
        # The seed wrote nothing: the missing file stays missing, the damage stays.
        check(sorted(os.listdir(os.path.join(src, "pkg"))) == before, "nothing was written into the folder")
    finally:
        seed.stop()


def netns(name):
    subprocess.run(["ip", "netns", "del", name], capture_output=True)
    if subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode != 0:
        return None
    subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
    return name


def case_transmission(work):
    if not have("transmission-daemon") or not have("transmission-remote"):
        print("skip transmission: transmission-daemon missing")
        return
    ns = netns("zl-sd-tr")
    if not ns:
        print("skip transmission: cannot create a network namespace")
        return
    t = os.path.join(work, "tr")
    procs = []
    try:
        for h in (2, 3, 4):
            subprocess.run(["ip", "-n", ns, "addr", "add", "10.99.0.%d/32" % h, "dev", "lo"], check=True)
        src = os.path.join(t, "src")
        os.makedirs(src)
        random_file(os.path.join(src, "pkg.bin"), 8 * 1024 * 1024 + 77, 7)
        torrent0 = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"), "http://x/announce", 256)
        root = os.path.join(t, "tracker")
        os.makedirs(root)
        os.chmod(root, 0o755)
        with open(os.path.join(root, "whitelist.txt"), "w") as f:
            f.write(bt_swarm.info_hash(torrent0) + "\n")
        torrent = bt_swarm.make_torrent(src, "pkg.bin", os.path.join(t, "pkg.torrent"),
                                        "http://10.99.0.2:6969/announce", 256)
        with open(os.path.join(root, "whitelist.txt"), "w") as f:
            f.write(bt_swarm.info_hash(torrent) + "\n")
        N = ["ip", "netns", "exec", ns]
        trk = bt_swarm.Process(N + ["opentracker", "-i", "10.99.0.2", "-p", "6969", "-P", "6969", "-d", root, "-u",
                                    "nobody", "-w", "/whitelist.txt"], os.path.join(t, "tracker.log"))
        procs.append(trk)
        bt_swarm.wait_until(lambda: subprocess.run(N + ["sh", "-c", "exec 3<>/dev/tcp/10.99.0.2/6969"],
                                                   capture_output=True).returncode == 0, 10, 0.05)
        # The seed announces first: only the leecher can open the connection.
        seed = Seed(torrent, src, "10.99.0.4", os.path.join(t, "seed.log"), netns=ns, port=6881)
        procs.append(seed)
        check(seed.ready, "the seed serves in the namespace: %s" % seed.process.text()[-300:])
        time.sleep(1)
        cfg, dl, watch = (os.path.join(t, "trl", x) for x in ("cfg", "dl", "watch"))
        for d in (cfg, dl, watch):
            os.makedirs(d)
        settings = {
            "bind-address-ipv4": "10.99.0.3", "bind-address-ipv6": "::1", "peer-port": 51413,
            "peer-port-random-on-start": False, "port-forwarding-enabled": False, "dht-enabled": False,
            "lpd-enabled": False, "pex-enabled": False, "utp-enabled": False, "encryption": 1,
            "rpc-enabled": True, "rpc-bind-address": "127.0.0.1", "rpc-port": 9091,
            "rpc-authentication-required": False, "rpc-whitelist-enabled": True, "rpc-whitelist": "127.0.0.1",
            "rpc-host-whitelist-enabled": False, "download-dir": dl, "incomplete-dir-enabled": False,
            "watch-dir-enabled": False, "start-added-torrents": True, "ratio-limit-enabled": False,
            "idle-seeding-limit-enabled": False, "speed-limit-up-enabled": False, "speed-limit-down-enabled": False,
            "alt-speed-enabled": False, "blocklist-enabled": False, "message-level": 2}
        with open(os.path.join(cfg, "settings.json"), "w") as f:
            json.dump(settings, f)
        tr = bt_swarm.Process(N + ["transmission-daemon", "-f", "-g", cfg], os.path.join(t, "transmission.log"))
        procs.append(tr)
        remote = N + ["transmission-remote", "127.0.0.1:9091"]
        bt_swarm.wait_until(lambda: subprocess.run(remote + ["-si"], capture_output=True).returncode == 0, 15, 0.1)
        subprocess.run(remote + ["-a", torrent], capture_output=True)
        ih = bt_swarm.info_hash(torrent)
        done = bt_swarm.wait_until(lambda: "Percent Done: 100%" in subprocess.run(
            remote + ["-t", ih, "-i"], capture_output=True, text=True).stdout, 90, 0.5)
        check(done, "transmission completes from zlfetch seed")
        got = os.path.join(dl, "pkg.bin")
        check(os.path.exists(got) and bt_swarm.md5_of(got) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "transmission's copy has the right MD5")
    finally:
        for p in reversed(procs):
            p.stop()
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def case_swarm(work):
    t = os.path.join(work, "swarm")
    src, _ = make_data(t, "pkg.bin", 16 * 1024 * 1024, 8)
    tracker, torrent = with_tracker(t, src, "pkg.bin", "127.0.11.2")
    # A slow seed, so the two leechers overlap long enough to trade.
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"), ["--upload-limit", "2048"])
    try:
        check(seed.ready, "the seed serves")
        bt_swarm.wait_until(lambda: tracker_lists(tracker, torrent, "127.0.11.3", seed.port), 15, 0.2)
        get_out = os.path.join(t, "get")
        get = bt_swarm.Process([ZLFETCH, "get", torrent, "--dir", get_out, "--bind", "127.0.11.6", "--json"],
                               os.path.join(t, "get.log"))
        time.sleep(1.5)  # the get announces first: aria2c learns of it
        rc = aria2c_leech(torrent, os.path.join(t, "aria2c"), "127.0.11.4", os.path.join(t, "aria2c.log"))
        get_rc = get.proc.wait(60)
        lines = [json.loads(l) for l in get.text().splitlines() if l.startswith("{")]
        get.stop()
        check(rc == 0 and bt_swarm.md5_of(os.path.join(t, "aria2c", "pkg.bin")) ==
              bt_swarm.md5_of(os.path.join(src, "pkg.bin")), "aria2c completes (rc %s)" % rc)
        check(get_rc == 0 and bt_swarm.md5_of(os.path.join(get_out, "pkg.bin")) ==
              bt_swarm.md5_of(os.path.join(src, "pkg.bin")), "zlfetch get completes (rc %s)" % get_rc)
        during = [l for l in lines if not l.get("final") and l.get("percent", 100) < 100 and l.get("uploaded_bytes")]
        check(bool(during), "zlfetch get uploads to aria2c while it downloads: %s" %
              ["%.0f%% up %d" % (l.get("percent", 0), l.get("uploaded_bytes", 0)) for l in lines])
    finally:
        seed.stop()
        tracker.stop()


class Relay:
    """A TCP relay that remembers the first bytes each way."""

    def __init__(self, address, target):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind((address, 0))
        self.server.listen(8)
        self.port = self.server.getsockname()[1]
        self.target = target
        self.first_out = []  # client -> target
        self.first_back = []
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                c, _ = self.server.accept()
            except OSError:
                return
            try:
                u = socket.create_connection(self.target)
            except OSError:
                c.close()
                continue
            out, back = bytearray(), bytearray()
            self.first_out.append(out)
            self.first_back.append(back)
            threading.Thread(target=self._pipe, args=(c, u, out), daemon=True).start()
            threading.Thread(target=self._pipe, args=(u, c, back), daemon=True).start()

    @staticmethod
    def _pipe(a, b, first):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                if len(first) < 256:
                    first.extend(data[:256 - len(first)])
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.stopped = True
        self.server.close()


def case_disguise(work):
    t = os.path.join(work, "disguise")
    src, torrent = make_data(t, "pkg.bin", 6 * 1024 * 1024 + 5, 9)
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"), ["--no-trackers"])
    relay = Relay("127.0.11.7", ("127.0.11.3", seed.port))
    try:
        check(seed.ready, "the seed serves")
        rc, final, text = bt_swarm.zlfetch_get(
            ZLFETCH, torrent, os.path.join(t, "get"),
            ["--bind", "127.0.11.6", "--http-wrap", "--no-trackers", "--peer", "127.0.11.7:%d" % relay.port], 60)
        check(rc == 0 and final and final["bt_bytes"] > 0, "the disguised get completes: %s" % text[-300:])
        check(bt_swarm.md5_of(os.path.join(t, "get", "pkg.bin")) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "its copy has the right MD5")
        check(any(bytes(o).startswith(b"GET / HTTP/1.0\r\n") for o in relay.first_out),
              "the get opened with the preamble: %s" % [bytes(o[:40]) for o in relay.first_out])
        check(any(bytes(b).startswith(b"HTTP/1.0 200 OK\r\nConnection: ") and b"\r\n\r\n\x13BitTorrent protocol" in b
                  for b in relay.first_back), "the seed answered with the reply header, then its handshake: %s" %
              [bytes(b[:60]) for b in relay.first_back])
    finally:
        relay.stop()
        seed.stop()


LAN_PROBE = r"""
import socket, struct, sys, time
group, port, info_hash = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
def datagram(addr, p, peer_id):
    return b'\0\0\0\0' + socket.inet_aton(addr) + struct.pack('>H', p) + b'\0\0' + b'\0\0\0\0' + info_hash + peer_id
# Two listeners: one announced truthfully, one named in a payload its sender does not own.
honest, lure = socket.socket(), socket.socket()
honest.bind(('127.0.11.7', 0)); honest.listen(4)
lure.bind(('127.0.11.9', 0)); lure.listen(4)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton('127.0.11.7'))
t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
t.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton('127.0.11.8'))
honest.settimeout(0.2); lure.settimeout(0.2)
got = {'honest': False, 'lure': False}
t0 = time.time()
while time.time() - t0 < 25 and not got['honest']:
    s.sendto(datagram('127.0.11.7', honest.getsockname()[1], b'-PR0001-honestpeer01'), (group, port))
    t.sendto(datagram('127.0.11.9', lure.getsockname()[1], b'-PR0001-spoofedpeer1'), (group, port))
    for name, sock in (('honest', honest), ('lure', lure)):
        try:
            c, a = sock.accept(); got[name] = True; c.close()
        except OSError:
            pass
time.sleep(1)
try:
    c, a = lure.accept(); got['lure'] = True
except OSError:
    pass
print('HONEST' if got['honest'] else 'NO-HONEST', 'LURED' if got['lure'] else 'NOT-LURED', flush=True)
"""


def case_lan(work):
    ns = netns("zl-sd-lan")
    if not ns:
        print("skip lan: cannot create a network namespace")
        return
    t = os.path.join(work, "lan")
    procs = []
    try:
        subprocess.run(["ip", "-n", ns, "route", "add", "224.0.0.0/4", "dev", "lo", "src", "127.0.0.1"], check=True)
        src, torrent = make_data(t, "pkg.bin", 8 * 1024 * 1024 + 3, 10)  # its tracker does not exist
        N = ["ip", "netns", "exec", ns]
        seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"), ["--no-trackers"], netns=ns, port=6881)
        procs.append(seed)
        check(seed.ready, "the seed serves in the namespace: %s" % seed.process.text()[-300:])
        # No tracker, no known peer: only LAN discovery can bring them together.
        get = bt_swarm.Process(N + [ZLFETCH, "get", torrent, "--dir", os.path.join(t, "get"), "--bind",
                                    "127.0.11.4", "--port", "6882", "--no-trackers", "--json"],
                               os.path.join(t, "get.log"))
        procs.append(get)
        try:
            rc = get.proc.wait(60)
        except subprocess.TimeoutExpired:
            rc = None
        check(rc == 0, "the leecher finds the seed by LAN discovery and completes (rc %s): %s" %
              (rc, get.text()[-300:]))
        got = os.path.join(t, "get", "pkg.bin")
        check(os.path.exists(got) and bt_swarm.md5_of(got) == bt_swarm.md5_of(os.path.join(src, "pkg.bin")),
              "the LAN leecher's copy has the right MD5")
        # A datagram is trusted only for the host it came from.
        probe = os.path.join(t, "lan_probe.py")
        with open(probe, "w") as f:
            f.write(LAN_PROBE)
        group = "233.76.90.76"
        run = subprocess.run(N + [sys.executable, probe, group, "31576", bt_swarm.info_hash(torrent)],
                             capture_output=True, text=True, timeout=60)
        check("HONEST" in run.stdout.split(), "the seed dials a peer announced from its own address: %s" %
              (run.stdout + run.stderr))
        check("NOT-LURED" in run.stdout, "the seed does not dial an address named by another host: %s" % run.stdout)
    finally:
        for p in reversed(procs):
            p.stop()
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


FLOOD = r"""
import asyncio, random, sys, time
host, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
stats = {'opened': 0, 'closed_by_seed': 0, 'failed': 0, 'still_open': 0}
silent_lifetimes = []
async def one(i):
    source = '127.0.11.%d' % (20 + i % 200)
    try:
        r, w = await asyncio.wait_for(asyncio.open_connection(host, port, local_addr=(source, 0)), 30)
    except Exception:
        stats['failed'] += 1
        return
    stats['opened'] += 1
    opened = time.time()
    if i % 2:
        w.write(random.randbytes(200))  # garbage
    try:
        data = await asyncio.wait_for(r.read(1), seconds)
        stats['closed_by_seed'] += 1  # EOF (nothing is ever sent back)
        if i % 2 == 0:
            silent_lifetimes.append(time.time() - opened)
    except asyncio.TimeoutError:
        stats['still_open'] += 1
    except Exception:
        stats['closed_by_seed'] += 1
    w.close()
async def main():
    tasks = []
    for i in range(count):
        tasks.append(asyncio.create_task(one(i)))
        if i % 100 == 99:
            await asyncio.sleep(0.05)
    await asyncio.gather(*tasks)
asyncio.run(main())
silent_lifetimes.sort()
if silent_lifetimes:
    stats['silent_median_ms'] = int(1000 * silent_lifetimes[len(silent_lifetimes) // 2])
    stats['silent_max_ms'] = int(1000 * silent_lifetimes[-1])
print('FLOOD', ' '.join('%s=%d' % kv for kv in stats.items()), flush=True)
"""


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def open_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def case_load(work, count=2000):
    if not bt_swarm.have_libtorrent():
        print("skip load: python3-libtorrent missing")
        return
    t = os.path.join(work, "load")
    src, torrent = make_data(t, "pkg.bin", 16 * 1024 * 1024, 11)
    seed = Seed(torrent, src, "127.0.11.3", os.path.join(t, "seed.log"), ["--no-trackers"])
    try:
        check(seed.ready, "the seed serves")
        pid = seed.process.proc.pid
        # A first download without the flood: what serving alone costs in memory.
        warm = lt_leecher(t, torrent, os.path.join(t, "warm"), "127.0.11.5", os.path.join(t, "warm.log"), 60,
                          "127.0.11.3:%d" % seed.port)
        warm.proc.wait(90)
        warm.stop()
        base_rss = rss_kib(pid)
        script = os.path.join(t, "flood.py")
        with open(script, "w") as f:
            f.write(FLOOD)
        flood = subprocess.Popen([sys.executable, script, "127.0.11.3", str(seed.port), str(count), "25"],
                                 stdout=subprocess.PIPE, text=True, start_new_session=True)
        time.sleep(1)  # the flood is under way
        leecher = lt_leecher(t, torrent, os.path.join(t, "leech"), "127.0.11.5", os.path.join(t, "lt.log"), 90,
                             "127.0.11.3:%d" % seed.port)
        peak_rss, peak_fds = base_rss, 0
        while leecher.alive() or flood.poll() is None:
            peak_rss = max(peak_rss, rss_kib(pid))
            peak_fds = max(peak_fds, open_fds(pid))
            time.sleep(0.2)
        out = flood.communicate()[0]
        leech_done = "COMPLETE" in leecher.text()
        leecher.stop()
        print(out.strip(), "| seed rss %d -> %d KiB, peak open descriptors %d" % (base_rss, peak_rss, peak_fds))
        check(leech_done and bt_swarm.md5_of(os.path.join(t, "leech", "pkg.bin")) ==
              bt_swarm.md5_of(os.path.join(src, "pkg.bin")), "the honest leecher completes during the flood")
        stats = dict(kv.split("=") for kv in out.split()[1:]) if out.startswith("FLOOD") else {}
        check(int(stats.get("opened", 0)) >= count * 0.9, "the flood opened its connections: %s" % stats)
        check(int(stats.get("still_open", 1)) == 0, "every flooding connection was closed by the seed: %s" % stats)
        # The pending list holds at most 256 connections.
        check(peak_fds < 320, "the seed's open descriptors stay bounded (%d)" % peak_fds)
        check(peak_rss - base_rss < 8 * 1024, "memory stays flat (%d -> %d KiB)" % (base_rss, peak_rss))
    finally:
        seed.stop()


def main():
    for tool in ("opentracker", "aria2c", "mktorrent"):
        if not shutil.which(tool):
            print("skip: %s is not installed" % tool)
            return 0
    work = tempfile.mkdtemp(prefix="zl-seed-interop-")
    os.chmod(work, 0o755)
    try:
        for case in CASES:
            print("== " + case, flush=True)
            started = time.time()
            globals()["case_" + case](work)
            print("   (%.1f s)" % (time.time() - started), flush=True)
    finally:
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    print("%d failed checks" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
