#!/usr/bin/env python3
"""A real run of the window under Xvfb: zephyrloader-tiny against the local
package site, its start button pressed with xdotool, downloading, verifying
and ending at state 12 (--exit-when-done), with the package's MD5s right.

    window_xvfb_test.py --window PATH --package DIR --work DIR [--zlfetch PATH]

Starts Xvfb (on a display it picks itself) and the site on 127.0.13.x, and
stops both, also on failure. Keeps every distinct screenshot the window wrote
in WORK/shots. Prints "N passed, N failed" (or SKIP_ALL when Xvfb or xdotool
is missing).
"""
import argparse
import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SITE = os.path.join(ROOT, "tools", "package-site")
BASE = "127.0.13"
CAPTION = "Talvora下载器"
START_BUTTON_CENTRE = (126 + 80, 204 + 22)  # the start page's button in the window


def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    return struct.unpack(">II", head[16:24])


class Xvfb:
    def __init__(self, log):
        read, write = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                                      "tcp"], pass_fds=(write,), stdout=log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        os.close(write)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            self.stop()
            raise AssertionError("Xvfb did not report its display")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def xdotool(env, *args, timeout=20):
    out = subprocess.run(["xdotool", *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         timeout=timeout)
    if out.returncode != 0:
        raise AssertionError(f"xdotool {' '.join(args)}: {out.stderr.strip()}")
    return out.stdout.strip()


def case_download_to_verified(args, work):
    case = os.path.join(work, "case")
    shots = os.path.join(work, "shots")
    for d in (case, shots):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    site_work = os.path.join(work, "site")
    shutil.rmtree(site_work, ignore_errors=True)
    log = open(os.path.join(work, "xvfb.log"), "wb")
    xvfb = Xvfb(log)
    site = None
    proc = None
    try:
        # Slow mirrors, so that the window is seen downloading.
        up = subprocess.run([SITE, "up", "--package", args.package, "--work", site_work, "--base", BASE,
                             "--rate", "400k", "--zlfetch", args.zlfetch],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        assert up.returncode == 0, f"package-site up failed: {up.stderr}"
        site = json.loads(up.stdout)
        opener = os.path.join(case, "opener.sh")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$2" >> "$1"\n')
        os.chmod(opener, 0o755)
        env = dict(os.environ, DISPLAY=xvfb.display, QT_QPA_PLATFORM="xcb")
        env.pop("WAYLAND_DISPLAY", None)
        shot = os.path.join(case, "window.png")
        proc = subprocess.Popen(
            [args.window, "--save-dir", os.path.join(case, "save"), "--app-data", os.path.join(case, "data"),
             "--mirror-host", site["mirror_host"], "--config-url", site["config_url"], "--ca-file", site["ca_file"], "--resources",
             site["resources"], "--listen-port", "0", "--no-upnp", "--no-tray",
             "--opener", f"{opener} {os.path.join(case, 'installed.txt')}", "--exit-when-done",
             "--max-seconds", "90", "--screenshot", shot],
            cwd=case, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

        window = xdotool(env, "search", "--sync", "--onlyvisible", "--name", CAPTION).splitlines()[0]
        geometry = xdotool(env, "getwindowgeometry", window)
        assert "411x318" in geometry, geometry
        # Wait for the first picture (start-up done and drawn), then press the start button.
        deadline = time.monotonic() + 20
        while not os.path.exists(shot) and time.monotonic() < deadline:
            time.sleep(0.1)
        # A second start hands over to this one (which comes to the front) and ends.
        second = subprocess.run([args.window, "--app-data", os.path.join(case, "data2")], cwd=case, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
        assert second.returncode == 0 and "already running" in second.stdout, second.stdout
        xdotool(env, "mousemove", "--window", window, str(START_BUTTON_CENTRE[0]), str(START_BUTTON_CENTRE[1]),
                "click", "1")

        seen = {}
        deadline = time.monotonic() + 120
        while proc.poll() is None and time.monotonic() < deadline:
            try:
                stamp = os.stat(shot).st_mtime_ns
                if stamp not in seen:
                    seen[stamp] = os.path.join(shots, f"window-{len(seen):03d}.png")
                    shutil.copyfile(shot, seen[stamp])
            except OSError:
                pass
            time.sleep(0.25)
        if proc.poll() is None:
            proc.kill()
        output = proc.communicate(timeout=30)[0]
        shutil.copyfile(shot, os.path.join(shots, "window-final.png"))
        assert proc.returncode == 0, f"exit {proc.returncode}, expected 0 (verified)\n{output[-3000:]}"

        with open(os.path.join(args.package, "manifest.json")) as f:
            files = json.load(f)["files"]
        for entry in files:
            path = os.path.join(case, "save", "TLV300", entry["name"])
            assert md5(path) == entry["md5"], f"{entry['name']}: MD5 differs"
        assert not os.path.exists(os.path.join(case, "installed.txt")), "the installer was started"
        assert png_size(shot) == (411, 318), png_size(shot)
        assert "ended in state 12 (checkfinished)" in output, output[-3000:]
        assert len(seen) >= 2, "the window did not redraw its picture every second"
        print(f"  {len(seen)} screenshots kept in {shots}", flush=True)
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        subprocess.run([SITE, "down", "--work", site_work], timeout=60)
        xvfb.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--window", required=True)
    p.add_argument("--package", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--zlfetch", default=os.path.join(ROOT, "build", "release", "tools", "zlfetch"))
    args = p.parse_args()
    missing = [tool for tool in ("Xvfb", "xdotool") if shutil.which(tool) is None]
    if missing:
        print(f"SKIP_ALL: {', '.join(missing)} not installed (scripts/setup installs them)")
        return 0
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    passed = failed = 0
    for case in (case_download_to_verified,):
        name = case.__name__[5:]
        started = time.monotonic()
        try:
            case(args, work)
            passed += 1
            print(f"PASS {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception:
            failed += 1
            print(f"FAIL {name}\n{traceback.format_exc()}", flush=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
