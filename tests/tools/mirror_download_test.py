#!/usr/bin/env python3
"""zlfetch get against the nginx mirrors harness.

    mirror_download_test.py ZLFETCH mirrors   # one good mirror beside each bad kind
    mirror_download_test.py ZLFETCH resume    # SIGKILL part-way, a few times, then finish

"mirrors": the largest tiny-package file is downloaded from a good mirror
together with a slow, corrupt, 404, range-ignoring or redirecting one, and
beside a mirror whose nginx is killed with SIGKILL while it is sending. Each
run must exit 0 with the manifest's MD5, and nginx's access log must show
that every mirror serving the right bytes (the good one, and the slow one
beside it) sent some of them, and that the dying mirror was not asked again
and again before it died.

"resume": the same file behind a rate-limited mirror; zlfetch get is killed
with SIGKILL at random moments, then run to completion. The MD5 must match.
For every restart it prints what the resume file kept, what the killed run
had reported, and how many bytes nginx sent (from its access log), so data
fetched again after a restart shows up.
"""
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
MIRRORS = os.path.join(ROOT, "tests", "harness", "mirrors.py")
MAKE_PACKAGE = os.path.join(ROOT, "tools", "make-package")
KINDS = ("slow", "corrupt", "404", "norange", "redirect")
MAX_DYING_REQUESTS = 4  # finished requests to the dying mirror in its 0.7 s of life


def fail(message):
    print(f"FAIL: {message}", flush=True)
    sys.exit(1)


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class Mirrors:
    """One mirrors.py instance; stops with the test (its stdin is our pipe)."""

    def __init__(self, root, work, kinds, slow_rate):
        self.work = work
        self.proc = subprocess.Popen(
            [sys.executable, MIRRORS, "--root", root, "--mirrors", kinds, "--slow-rate", slow_rate,
             "--workdir", work],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line:
            fail(f"mirrors {kinds} did not start; see {work}/error.log")
        self.urls = json.loads(line)

    def nginx_pid(self):
        with open(os.path.join(self.work, "nginx.pid")) as f:
            return int(f.read().strip())

    def log_lines(self):
        try:
            with open(os.path.join(self.work, "access.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def port_of(self, name):
        return int(self.urls[name].rsplit(":", 1)[1].strip("/"))

    def settled_lines(self, before):
        """The log lines after the first `before`, once nginx has logged the
        requests of connections the client closed (it logs each at its end)."""
        lines, still_since = self.log_lines()[before:], time.monotonic()
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and time.monotonic() - still_since < 0.3:
            time.sleep(0.05)
            now = self.log_lines()[before:]
            if len(now) != len(lines):
                lines, still_since = now, time.monotonic()
        return lines

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def json_lines(text):
    out = []
    for line in text.splitlines():
        try:
            out.append(json.loads(line))
        except ValueError:
            pass
    return out


def start_get(zlfetch, torrent, folder, sources, out_path, err_path):
    cmd = ["timeout", "--signal=INT", "60", zlfetch, "get", torrent, "--dir", folder, "--json"]
    for s in sources:
        cmd += ["--source", s]
    return subprocess.Popen(cmd, stdout=open(out_path, "w"), stderr=open(err_path, "w"),
                            stdin=subprocess.DEVNULL)


def kill_child(pid):
    """SIGKILLs the children of pid (zlfetch under timeout). False when zlfetch
    had already finished (a resumed download may complete before its kill)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(c) for c in f.read().split()]
    except FileNotFoundError:
        return False
    for child in children:
        os.kill(child, signal.SIGKILL)
    return bool(children)


def describe(rc, out_path, err_path):
    with open(out_path) as f:
        lines = f.read().splitlines()
    with open(err_path) as f:
        err = f.read().strip()
    return f"exit {rc}; last JSON line: {lines[-1] if lines else '(none)'}; stderr: {err or '(empty)'}"


def mirror_cases(zlfetch, work, pkg, entry):
    name, want = entry["name"], entry["md5"]
    torrent = os.path.join(pkg, entry["torrent"])
    main = Mirrors(pkg, os.path.join(work, "m-main"), "good,slow,corrupt,404,norange,redirect", "1m")
    failures = []
    try:
        def run(label, sources, serving, during=None):
            """`serving`: the main mirrors that must have sent bytes of the file."""
            folder = os.path.join(work, "d-" + label)
            out, err = folder + ".json", folder + ".err"
            before = len(main.log_lines())
            started = time.monotonic()
            proc = start_get(zlfetch, torrent, folder, [u + name for u in sources], out, err)
            if during:
                during()
            rc = proc.wait()
            took = time.monotonic() - started
            path = os.path.join(folder, name)
            got = md5_of(path) if os.path.exists(path) else "(no file)"
            lines = main.settled_lines(before)
            sent = {m: served_bytes(lines, main.port_of(m)) for m in ("good",) + tuple(k for k in KINDS if k in u)}
            shown = " ".join(f"{m} {sent[m]}" for m in sent if sent[m] or m in serving)
            idle = [m for m in serving if sent[m] <= 0]
            if rc == 0 and got == want and not idle:
                print(f"ok   {label:16} {took:5.1f} s  bytes sent: {shown}", flush=True)
            else:
                failures.append(label)
                why = f"md5 {got}; {describe(rc, out, err)}" if rc != 0 or got != want else ""
                why += f" mirror(s) {', '.join(idle)} sent nothing" if idle else ""
                print(f"FAIL {label:16} {took:5.1f} s  bytes sent: {shown}; {why}", flush=True)

        u = main.urls
        for kind in ("slow", "corrupt", "404", "norange", "redirect"):
            # The slow mirror serves the right bytes too: it must carry a share.
            run("good+" + kind, [u["good"], u[kind]], ("good", "slow") if kind == "slow" else ("good",))

        # A mirror that dies mid-transfer: a second nginx, rate-limited so it is
        # still sending when its process is killed.
        dying = Mirrors(pkg, os.path.join(work, "m-dying"), "slow", "256k")
        try:
            def kill_dying():
                time.sleep(0.7)
                os.kill(dying.nginx_pid(), signal.SIGKILL)
            run("good+dying", [dying.urls["slow"], u["good"]], ("good",), during=kill_dying)
            # nginx logs a request when it ends: those cut by the kill are not
            # there, but a client asking again and again while the mirror still
            # served would show.
            asked = len(dying.log_lines())
            print(f"     dying mirror logged {asked} finished request(s) before it was killed", flush=True)
            if asked > MAX_DYING_REQUESTS:
                failures.append("good+dying")
                print(f"FAIL the dying mirror was asked {asked} times in 0.7 s (at most {MAX_DYING_REQUESTS})", flush=True)
        finally:
            dying.stop()
    finally:
        main.stop()
    if failures:
        fail("mirror cases failed: " + ", ".join(failures))


def served_bytes(lines, port):
    total = 0
    for line in lines:
        parts = line.split(" ")
        if len(parts) > 2 and parts[0] == str(port):
            total += int(parts[2])
    return total


# What one SIGKILL may cost: the data of the last second before the kill
# (verified pieces reach the disk and the resume file once a second), the
# pieces in progress and what sat in the socket buffers.
def refetch_bound(rate, piece_length):
    return 2 * rate + 4 * piece_length


def resume_case(zlfetch, work, pkg, entry, kills):
    name, want, size = entry["name"], entry["md5"], entry["size"]
    torrent = os.path.join(pkg, entry["torrent"])
    # Slow enough that every kill lands part-way through.
    rate = 256 * 1024
    slow = Mirrors(pkg, os.path.join(work, "m-resume"), "slow", "256k")
    port = int(slow.urls["slow"].rsplit(":", 1)[1].strip("/"))
    folder = os.path.join(work, "d-resume")
    rng = random.Random()
    rows = []
    killed_runs = 0
    try:
        for attempt in range(kills + 1):
            out, err = f"{folder}.{attempt}.json", f"{folder}.{attempt}.err"
            before = len(slow.log_lines())
            proc = start_get(zlfetch, torrent, folder, [slow.urls["slow"] + name], out, err)
            killed = False
            if attempt < kills:
                time.sleep(rng.uniform(0.6, 1.8))
                killed = kill_child(proc.pid)  # zlfetch itself, under timeout(1), which then exits
            rc = proc.wait()
            time.sleep(0.3)  # nginx logs a request once it notices the closed connection
            with open(out) as f:
                lines = json_lines(f.read())
            rows.append({"start": lines[0]["bytes_done"] if lines else None,
                         "resumed": lines[0]["resumed"] if lines else None,
                         "last": lines[-1]["bytes_done"] if lines else None,
                         "served": served_bytes(slow.log_lines()[before:], port), "rc": rc,
                         "zlinfo": os.path.exists(os.path.join(folder, name + ".zlinfo"))})
            if killed:
                killed_runs += 1
                continue
            if rc != 0:
                fail(f"the final run: {describe(rc, out, err)}")
            break
        got = md5_of(os.path.join(folder, name))
        if got != want:
            fail(f"md5 after {killed_runs} kills is {got}, want {want}")
    finally:
        slow.stop()
    print(f"{name}: {size} bytes, {killed_runs} SIGKILLs then a full run; md5 ok")
    print("run  exit  zlinfo-after  resumed  first-reported  last-reported  nginx-sent")
    total_sent = 0
    for i, r in enumerate(rows):
        total_sent += r["served"]
        print(f"{i:3}  {r['rc']:4}  {str(r['zlinfo']):12}  {str(r['resumed']):7}  {r['start']!s:>14}  "
              f"{r['last']!s:>13}  {r['served']:10}")
    refetched = total_sent - size
    bound = killed_runs * refetch_bound(rate, piece_length_of(zlfetch, torrent))
    print(f"nginx sent {total_sent} bytes in all for a {size} byte file: re-fetched {refetched}, "
          f"at most {bound} allowed for {killed_runs} kills", flush=True)
    if refetched > bound:
        fail(f"{refetched} bytes were fetched again after {killed_runs} kills; at most {bound} were in flight or unflushed")


def piece_length_of(zlfetch, torrent):
    info = subprocess.run([zlfetch, "info", "--json", torrent], check=True, capture_output=True, text=True)
    return int(json.loads(info.stdout)["piece_length"])


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("mirrors", "resume"):
        sys.exit(__doc__)
    zlfetch, mode = os.path.abspath(sys.argv[1]), sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="zl-mirror-dl-") as work:
        pkg = os.path.join(work, "pkg")
        subprocess.run([MAKE_PACKAGE, "--scale", "tiny", "--out", pkg, "--quiet"], check=True)
        with open(os.path.join(pkg, "manifest.json")) as f:
            files = json.load(f)["files"]
        largest = max(files, key=lambda e: e["size"])
        if mode == "mirrors":
            mirror_cases(zlfetch, work, pkg, largest)
        else:
            resume_case(zlfetch, work, pkg, largest, kills=4)
    print(f"mirror download {mode}: ok")


if __name__ == "__main__":
    main()
