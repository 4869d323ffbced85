#!/usr/bin/env python3
"""End to end: zephyrloader-cli-tiny against the local package site.

    e2e_test.py --cli PATH --package DIR --work DIR [--zlfetch PATH] [-k NAME]

Each case starts what it needs (tools/package-site, a tmpfs) and stops it,
also on failure, and checks the documented state, message and exit code, and
that nothing verified is lost. Prints "N passed, N failed, N skipped".
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SITE = os.path.join(ROOT, "tools", "package-site")


class Skip(Exception):
    pass


def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class Site:
    def __init__(self, ctx, name, *extra):
        self.work = os.path.join(ctx.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        args = [SITE, "up", "--package", ctx.package, "--work", self.work, "--zlfetch", ctx.zlfetch] + list(extra)
        out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        if out.returncode != 0:
            raise AssertionError(f"package-site up failed: {out.stderr}")
        self.info = json.loads(out.stdout)

    def stop_mirrors(self):
        subprocess.run([SITE, "stop-mirrors", "--work", self.work], check=True, timeout=30)

    def down(self):
        subprocess.run([SITE, "down", "--work", self.work], timeout=60)


def posted_codes(site):
    """The event codes the site's statistics service stored (or its sink logged)."""
    if site.info.get("dashboard"):
        summary = site.info["stats_url"] + f"/api/summary?from=0&to={int(time.time()) + 60}"
        with urllib.request.urlopen(summary, timeout=10) as answer:
            return set(json.load(answer)["by_code"])
    with open(os.path.join(site.work, "stats.log")) as f:
        return f.read()


class Run:
    """One run of the CLI with --json; the objects it printed, by type."""

    def __init__(self, ctx, case, site, *extra, config_url=None, kill_after=None, opener=None, timeout=90,
                 ca_file=True):
        self.marker = os.path.join(case, "opened.txt")
        opener = opener or f"{ctx.opener} {self.marker}"
        args = [ctx.cli, "--json", "--save-dir", os.path.join(case, "save"), "--app-data", os.path.join(case, "data"),
                "--listen-port", "0", "--opener", opener, "--max-seconds", "60"]
        if site:
            args += ["--mirror-host", site.info["mirror_host"], "--resources", site.info["resources"],
                     "--config-url", config_url or site.info["config_url"]]
            if ca_file:  # the site's own certificate; False: the system's store only
                args += ["--ca-file", site.info["ca_file"] if ca_file is True else ca_file]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=case)
        self.objects = []
        if kill_after is not None:
            # Reads status lines until the condition holds, then kill -9.
            for line in self.proc.stdout:
                obj = json.loads(line)
                self.objects.append(obj)
                if kill_after(obj):
                    self.proc.send_signal(signal.SIGKILL)
                    break
        out, self.err = self.proc.communicate(timeout=timeout)
        self.objects += [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        self.code = self.proc.returncode

    def of(self, kind):
        return [o for o in self.objects if o.get("type") == kind]

    def events(self):
        return [o["code"] for o in self.of("event")]

    def messages(self):
        return [o["text"] for o in self.of("message")]

    def start_state(self):
        return self.of("start")[0]["state"]

    def check(self, code, what=""):
        assert self.code == code, f"{what}: exit {self.code}, expected {code}\nstderr: {self.err[-2000:]}\n" \
                                  f"last: {self.objects[-3:]}"


class Context:
    def __init__(self, args):
        self.cli = os.path.abspath(args.cli)
        self.package = os.path.abspath(args.package)
        self.work = os.path.abspath(args.work)
        self.zlfetch = args.zlfetch
        with open(os.path.join(self.package, "manifest.json")) as f:
            self.files = sorted(json.load(f)["files"], key=lambda e: e["index"])
        os.makedirs(self.work, exist_ok=True)
        # The "installer" opener only leaves a marker with what it was asked to open.
        self.opener = os.path.join(self.work, "opener.sh")
        with open(self.opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$2" >> "$1"\n')
        os.chmod(self.opener, 0o755)

    def case_dir(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def seeding(self):
        try:
            out = subprocess.run([self.zlfetch, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 text=True).stdout
        except OSError:
            return False
        return re.search(r"^\s*seed TORRENT", out, re.M) is not None

    def assert_package(self, case):
        for f in self.files:
            path = os.path.join(case, "save", "TLV300", f["name"])
            assert md5(path) == f["md5"], f"{f['name']}: MD5 differs"


# ---- the cases -----------------------------------------------------------------

def case_mirrors(ctx):
    """Mirrors (two nginx) with the configuration over HTTPS: verified and installed."""
    # Mirrors slow enough that the mirror list arrives while the files still download.
    site = Site(ctx, "site-mirrors", "--rate", "150k")
    try:
        case = ctx.case_dir("mirrors")
        r = Run(ctx, case, site, "--verify", "yes")
        r.check(0, "mirrors")
        ctx.assert_package(case)
        events = r.events()
        for code in (11010000, 11080000, 11060000, 11070000, 11100001, 11100004):
            assert code in events, f"event {code} missing: {events}"
        assert events.index(11060000) < events.index(11100004)
        with open(r.marker) as f:
            assert f.read().strip().endswith("TLV300/Talvora300.exe")
        # The configuration document was fetched and both mirrors served data.
        with open(os.path.join(site.work, "config", "access.log")) as f:
            assert "TlvResourceList.xml" in f.read()
        with open(os.path.join(site.work, "mirrors", "access.log")) as f:
            served = {line.split()[0] for line in f if " 20" in line}
        assert len(served) == 2, f"mirrors that served: {served}"
        # The statistics reached the service, the exit event included.
        for code in ("11010000", "11060000", "11100004"):
            assert code in posted_codes(site), f"event {code} not posted"
    finally:
        site.down()


def case_mirrors_and_p2p(ctx):
    if not ctx.seeding():
        raise Skip("needs `zlfetch seed` (BitTorrent seeding is not in this build yet)")
    site = Site(ctx, "site-both")
    try:
        case = ctx.case_dir("both")
        r = Run(ctx, case, site, "--verify", "yes")
        r.check(0, "mirrors and P2P")
        ctx.assert_package(case)
    finally:
        site.down()


def case_p2p_only(ctx):
    if not ctx.seeding():
        raise Skip("needs `zlfetch seed` (BitTorrent seeding is not in this build yet)")
    site = Site(ctx, "site-p2p")
    try:
        site.stop_mirrors()
        case = ctx.case_dir("p2p")
        r = Run(ctx, case, site, "--verify", "yes")
        r.check(0, "P2P only")
        ctx.assert_package(case)
        stats = [o for o in r.of("event") if o["code"] == 11060000]
        assert stats and stats[0]["peer_bytes"] > 0 and stats[0]["http_bytes"] == 0, stats
    finally:
        site.down()


def case_kill_and_resume(ctx):
    """kill -9 mid-download; the next start resumes (state 15) and completes."""
    # No seeders: they would serve at full speed past the slow mirrors.
    site = Site(ctx, "site-resume", "--rate", "20k", "--seeders", "0")
    try:
        case = ctx.case_dir("resume")
        total = sum(f["size"] for f in ctx.files)
        # Killed while every file is still incomplete, so the next start finds only partial files.
        second_start = {}

        def downloading(o):
            if not (o.get("type") == "status" and o.get("bytes_on_disk", 0) > 0):
                return False
            # A second start while this one downloads hands over to it and says it did nothing itself.
            other = ctx.case_dir("resume-second")
            second_start["run"] = Run(ctx, other, site, "--verify", "yes", timeout=30)
            return True

        first = Run(ctx, case, site, "--verify", "yes", kill_after=downloading)
        assert first.code == -signal.SIGKILL, f"first run was not killed (exit {first.code})"
        second_start["run"].check(3, "second instance")
        notes = [o["text"] for o in second_start["run"].of("note")]
        assert any("already running" in t for t in notes), second_start["run"].objects
        done_before = max(o.get("bytes_on_disk", 0) for o in first.of("status"))
        assert 0 < done_before < total
        site.down()  # the rest comes at full speed from a new site
        site = Site(ctx, "site-resume2")
        second = Run(ctx, case, site, "--verify", "yes")
        assert second.start_state() == 15, f"start state {second.start_state()}"
        second.check(0, "resumed")
        ctx.assert_package(case)
        stats = [o for o in second.of("event") if o["code"] == 11060000]
        # The second run fetched less than the package: what the first run had verified was kept.
        assert stats and stats[0]["total_bytes"] < total, stats
    finally:
        site.down()


def case_corrupt_byte_repaired(ctx):
    """One byte corrupted after completion, its time kept (bit rot): the restart finds the package
    unchanged (state 8), verification finds the wrong MD5, a repair round fixes it."""
    site = Site(ctx, "site-repair")
    try:
        case = ctx.case_dir("repair")
        Run(ctx, case, site, "--verify", "no").check(0, "first download")
        path = os.path.join(case, "save", "TLV300", ctx.files[2]["name"])
        before = os.stat(path)
        with open(path, "r+b") as f:
            f.seek(12345)
            b = f.read(1)
            f.seek(12345)
            f.write(bytes([b[0] ^ 0x5A]))
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        r = Run(ctx, case, site, "--verify", "yes")
        assert r.start_state() == 8, f"start state {r.start_state()}"
        r.check(0, "repair")
        events = r.events()
        assert 11500201 in events and 11100003 in events and 11100004 in events, events
        repaired = [o for o in r.of("event") if o["code"] == 11100003]
        assert repaired[0]["text"] == "修复次数：1", repaired
        ctx.assert_package(case)
    finally:
        site.down()


def case_expired(ctx):
    site = Site(ctx, "site-expired", "--expired")
    try:
        case = ctx.case_dir("expired")
        r = Run(ctx, case, site)
        r.check(3, "expired")
        assert "此版本下载器已过期，请下载新版本" in r.messages(), r.messages()
        with open(r.marker) as f:
            assert f.read().strip() == "http://127.0.0.1/zephyrloader/new"
        assert not os.path.exists(os.path.join(case, "save", "TLV300")), "an expired downloader began"
    finally:
        site.down()


def case_config_server_down(ctx):
    """No configuration server: no mirror list and no P2P, but the default mirror still delivers."""
    site = Site(ctx, "site-noconfig")
    try:
        case = ctx.case_dir("noconfig")
        r = Run(ctx, case, site, "--verify", "yes", config_url="https://127.0.6.4:1/downloader/TlvResourceList.xml")
        r.check(0, "configuration server down")
        ctx.assert_package(case)
    finally:
        site.down()


def case_certificate_refused(ctx):
    """A configuration server whose certificate does not verify is refused, said so in an event,
    and the download goes on from the default mirror: self-signed and not in the system's
    store, or trusted but made for another host."""
    site = Site(ctx, "site-badcert", "--seeders", "0")
    other = Site(ctx, "site-otherhost", "--seeders", "0", "--cert-host", "127.0.6.99", "--base", "127.0.16")
    try:
        for name, s, ca_file in (("unknown", site, False), ("otherhost", other, other.info["ca_file"])):
            case = ctx.case_dir("badcert-" + name)
            r = Run(ctx, case, s, "--verify", "yes", ca_file=ca_file)
            r.check(0, name)
            ctx.assert_package(case)
            refused = [o for o in r.of("event") if o["code"] == 11500107]
            assert refused, f"{name}: no refusal event: {r.events()}"
            assert "certificate" in refused[0]["text"], refused[0]
            with open(os.path.join(s.work, "config", "access.log")) as f:
                assert "TlvResourceList.xml" not in f.read(), f"{name}: the document was served anyway"
            # Only the default mirror served: the document's mirror list was not taken.
            with open(os.path.join(s.work, "mirrors", "access.log")) as f:
                served = {line.split()[0] for line in f if " 20" in line}
            assert served == {s.info["mirror_host"]}, f"{name}: mirrors that served: {served}"
    finally:
        site.down()
        other.down()


def case_full_disk(ctx):
    """A save folder on a tmpfs too small for the package: the download does not begin."""
    case = ctx.case_dir("fulldisk")
    mount = os.path.join(case, "save")
    os.makedirs(mount)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "zl-app-tmpfs", mount]).returncode != 0:
        raise Skip("cannot mount a tmpfs here (needs root)")
    site = None
    try:
        site = Site(ctx, "site-fulldisk")
        r = Run(ctx, case, site, "--verify", "yes")
        r.check(3, "full disk")
        assert "当前磁盘空间不足，请选择其他位置存放" in r.messages(), r.messages()
        assert os.listdir(mount) == [], os.listdir(mount)
    finally:
        if site:
            site.down()
        subprocess.run(["umount", mount])


CASES = [case_mirrors, case_mirrors_and_p2p, case_p2p_only, case_kill_and_resume, case_corrupt_byte_repaired,
         case_expired, case_config_server_down, case_certificate_refused, case_full_disk]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--package", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--zlfetch", default=os.path.join(ROOT, "build", "release", "tools", "zlfetch"))
    p.add_argument("-k", dest="only", help="run only cases whose name contains this")
    args = p.parse_args()
    ctx = Context(args)
    passed = failed = skipped = 0
    for case in CASES:
        name = case.__name__[5:]
        if args.only and args.only not in name:
            continue
        started = time.monotonic()
        try:
            case(ctx)
            passed += 1
            print(f"PASS {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Skip as e:
            skipped += 1
            print(f"SKIP {name}: {e}", flush=True)
        except Exception:
            failed += 1
            print(f"FAIL {name}\n{traceback.format_exc()}", flush=True)
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
