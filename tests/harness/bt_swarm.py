#!/usr/bin/env python3
"""Real BitTorrent counterparts on loopback for the interop tests and benchmarks.

    Tracker(workdir, address)                 opentracker with a whitelist (HTTP and UDP on one port)
    Aria2Seeder(torrent, folder, address)     aria2c seeding a complete folder
    LtPeer(torrent, folder, address, ...)     python3-libtorrent (Debian's /usr/bin/python3) as seeder or leecher
    TransmissionSeeder(torrent, folder, address, workdir)  transmission-daemon seeding (when installed)

Every process is started in the foreground of its own process group, remembered
by pid and stopped by stop() (also from the context manager's exit), so a test
leaves nothing running. Each helper binds only the 127.0.x.y address it is given.
"""
import hashlib
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SYSTEM_PYTHON = "/usr/bin/python3"


def free_port(address, kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def free_tcp_udp_port(address):
    """A port free for both TCP and UDP on the address."""
    for _ in range(50):
        port = free_port(address)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind((address, port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def info_hash(torrent_path):
    """The v1 info hash (hex) of a torrent file, without any library."""
    b = open(torrent_path, "rb").read()

    def skip(i):
        c = b[i:i + 1]
        if c == b"i":
            return b.index(b"e", i) + 1
        if c in (b"l", b"d"):
            i += 1
            while b[i:i + 1] != b"e":
                i = skip(i)
            return i + 1
        j = b.index(b":", i)
        return j + 1 + int(b[i:j])

    i = 1
    while b[i:i + 1] != b"e":
        j = b.index(b":", i)
        key = b[j + 1:j + 1 + int(b[i:j])]
        i = j + 1 + int(b[i:j])
        end = skip(i)
        if key == b"info":
            return hashlib.sha1(b[i:end]).hexdigest()
        i = end
    raise ValueError("no info dictionary")


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def wait_until(predicate, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Process:
    def __init__(self, args, log, **kw):
        self.log_path = log
        self.log = open(log, "w")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True, **kw)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()

    def text(self):
        self.log.flush()
        with open(self.log_path) as f:
            return f.read()


class Tracker:
    """opentracker on address:port (TCP for HTTP, UDP), accepting the given torrents."""

    def __init__(self, workdir, address, torrents):
        self.address = address
        self.port = free_tcp_udp_port(address)
        root = os.path.join(workdir, "tracker")
        os.makedirs(root, exist_ok=True)
        os.chmod(root, 0o755)
        with open(os.path.join(root, "whitelist.txt"), "w") as f:
            for t in torrents:
                f.write(info_hash(t) + "\n")
        self.process = Process(["opentracker", "-i", address, "-p", str(self.port), "-P", str(self.port), "-d", root,
                                "-u", "nobody", "-w", "/whitelist.txt"], os.path.join(workdir, "tracker.log"))
        if not wait_until(self._answers, 10):
            raise RuntimeError("opentracker did not start: " + self.process.text())

    def _answers(self):
        try:
            with socket.create_connection((self.address, self.port), timeout=0.2):
                return True
        except OSError:
            return False

    @property
    def http(self):
        return "http://%s:%d/announce" % (self.address, self.port)

    @property
    def udp(self):
        return "udp://%s:%d/announce" % (self.address, self.port)

    def stop(self):
        self.process.stop()


class Aria2Seeder:
    def __init__(self, torrent, folder, address, log, limit_kib=0):
        self.address = address
        self.port = free_port(address)
        args = ["aria2c", "--no-conf", "--dir=" + folder, "--check-integrity=true", "--seed-ratio=0.0",
                "--enable-dht=false", "--enable-dht6=false", "--bt-enable-lpd=false", "--enable-peer-exchange=false",
                "--interface=" + address, "--listen-port=%d" % self.port, "--file-allocation=none",
                "--console-log-level=warn", "--summary-interval=0", "--bt-tracker-interval=5"]
        if limit_kib:
            args.append("--max-upload-limit=%dK" % limit_kib)
        self.process = Process(args + [torrent], log)

    def stop(self):
        self.process.stop()


LT_SCRIPT = r"""
import sys, time, json, libtorrent as lt
tor, save, listen, mode, limit, timeout = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), float(sys.argv[6])
settings = {'listen_interfaces': listen, 'outgoing_interfaces': listen.rsplit(':', 1)[0],
            'enable_dht': False, 'enable_lsd': False, 'enable_upnp': False, 'enable_natpmp': False,
            'enable_incoming_utp': False, 'enable_outgoing_utp': False, 'allow_multiple_connections_per_ip': True,
            'alert_mask': lt.alert.category_t.error_notification | lt.alert.category_t.status_notification}
if limit:
    settings['upload_rate_limit'] = limit * 1024
ses = lt.session(settings)
if limit:
    f = lt.ip_filter()
    f.add_rule('0.0.0.0', '255.255.255.255', 1 << lt.session.global_peer_class_id)
    ses.set_peer_class_filter(f)
params = {'ti': lt.torrent_info(tor), 'save_path': save}
if mode == 'seed':
    params['flags'] = lt.torrent_flags.seed_mode
h = ses.add_torrent(params)
t0 = time.time()
print('READY', flush=True)
while time.time() - t0 < timeout:
    for a in ses.pop_alerts():
        if isinstance(a, (lt.tracker_reply_alert, lt.tracker_error_alert)):
            print(a.message(), flush=True)
    s = h.status()
    if mode == 'leech' and s.is_seeding:
        print('COMPLETE %.2f' % (time.time() - t0), flush=True)
        sys.exit(0)
    time.sleep(0.1)
print('TIMEOUT', h.status().progress, flush=True)
sys.exit(1 if mode == 'leech' else 0)
"""


class LtPeer:
    """python3-libtorrent seeding (mode "seed") or downloading (mode "leech") on address:port."""

    def __init__(self, torrent, folder, address, log, mode="seed", limit_kib=0, timeout=120):
        self.address = address
        self.port = free_port(address)
        script = os.path.join(os.path.dirname(log), "lt_peer.py")
        with open(script, "w") as f:
            f.write(LT_SCRIPT)
        self.process = Process([SYSTEM_PYTHON, script, torrent, folder, "%s:%d" % (address, self.port), mode,
                                str(limit_kib), str(timeout)], log)
        wait_until(lambda: "READY" in self.process.text() or not self.process.alive(), 10)

    def announced(self):
        return "received peers" in self.process.text() or "peers" in self.process.text()

    def wait(self, timeout):
        try:
            return self.process.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        self.process.stop()


class TransmissionSeeder:
    """transmission-daemon seeding a complete folder on address. It ignores 127.x
    peers that a tracker names, but accepts their connections: a leecher finds it
    through the tracker once it announced, which ready() waits for."""

    def __init__(self, torrent, folder, address, workdir):
        self.address = address
        self.port = free_port(address)
        self.rpc = "%s:%d" % (address, free_port(address))
        self.hash = info_hash(torrent)
        config = os.path.join(workdir, "transmission-%s" % address)
        watch = os.path.join(config, "watch")
        os.makedirs(watch, exist_ok=True)
        settings = {
            "bind-address-ipv4": address, "bind-address-ipv6": "::1", "peer-port": self.port,
            "peer-port-random-on-start": False, "port-forwarding-enabled": False, "dht-enabled": False,
            "lpd-enabled": False, "pex-enabled": False, "utp-enabled": False, "encryption": 1,
            "rpc-enabled": True, "rpc-bind-address": address, "rpc-port": int(self.rpc.rsplit(":", 1)[1]),
            "rpc-authentication-required": False, "rpc-whitelist-enabled": False,
            "rpc-host-whitelist-enabled": False, "download-dir": folder, "incomplete-dir-enabled": False,
            "watch-dir-enabled": False, "watch-dir": watch, "start-added-torrents": True,
            "trash-original-torrent-files": False, "ratio-limit-enabled": False,
            "idle-seeding-limit-enabled": False, "speed-limit-up-enabled": False,
            "speed-limit-down-enabled": False, "alt-speed-enabled": False, "blocklist-enabled": False,
            "message-level": 2,
        }
        with open(os.path.join(config, "settings.json"), "w") as f:
            json.dump(settings, f)
        self.process = Process(["transmission-daemon", "-f", "-g", config], os.path.join(workdir, "transmission.log"))
        if not wait_until(lambda: self._remote("-si").returncode == 0 or not self.process.alive(), 10):
            raise RuntimeError("transmission-daemon did not answer: " + self.process.text())
        self._remote("-a", torrent, "-w", folder)

    def _remote(self, *args):
        return subprocess.run(["transmission-remote", self.rpc] + list(args), capture_output=True, text=True)

    def ready(self, timeout):
        """True once the data is verified and the tracker has listed it."""
        verified = wait_until(lambda: "Percent Done: 100%" in self._remote("-t", self.hash, "-i").stdout, timeout, 0.2)
        return verified and wait_until(
            lambda: "Got a list of" in self._remote("-t", self.hash, "-it").stdout, timeout, 0.2)

    def stop(self):
        self.process.stop()


# What check() found wrong, for the calling script's exit status.
failures = []


def check(condition, what, say_ok=False):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)
    elif say_ok:
        print("ok:", what, flush=True)
    return condition


def random_file(path, size, seed):
    """size bytes of a generator seeded with seed, written 1 MiB at a time (folders on the way are made)."""
    r = random.Random(seed)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(r.randbytes(n))
            left -= n


def have_transmission():
    return shutil.which("transmission-daemon") is not None and shutil.which("transmission-remote") is not None


def have_libtorrent():
    return os.path.exists(SYSTEM_PYTHON) and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import libtorrent"], capture_output=True).returncode == 0


def make_torrent(paths_root, name, out, announce, piece_kib=256):
    """A v1 torrent of a file or folder (mktorrent), piece length piece_kib KiB."""
    exp = {16: 14, 32: 15, 64: 16, 128: 17, 256: 18, 512: 19, 1024: 20}[piece_kib]
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(["mktorrent", "-l", str(exp), "-a", announce, "-o", out, os.path.join(paths_root, name)],
                   check=True, capture_output=True)
    return out


def zlfetch_get(zlfetch, torrent, folder, args, timeout=120):
    """Runs zlfetch get --json; returns (exit status, final JSON object or None, output)."""
    cmd = [zlfetch, "get", torrent, "--dir", folder, "--json"] + args
    try:
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return None, None, (e.stdout or "") + (e.stderr or "")
    final = None
    for line in run.stdout.splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if obj.get("final"):
            final = obj
    return run.returncode, final, run.stdout + run.stderr
