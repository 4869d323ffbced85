#!/usr/bin/env python3
"""The mirrors harness: each kind of mirror behaves as named, and the tool
stops (taking nginx with it) on SIGTERM and when its stdin closes."""
import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "mirrors.py")
STRIDE = 256 * 1024


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def fetch(url, first, last):
    request = urllib.request.Request(url, headers={"Range": f"bytes={first}-{last}"})
    with urllib.request.urlopen(request, timeout=20) as answer:
        return answer.status, answer.read()


def start(root, kinds, extra=()):
    proc = subprocess.Popen([sys.executable, TOOL, "--root", root, "--mirrors", kinds, *extra],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line:
        proc.kill()
        fail(f"no mirror map (exit {proc.wait()})")
    return proc, json.loads(line)


def wait_gone(proc, urls, why):
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        fail(f"still running after {why}")
    for url in urls:
        try:
            urllib.request.urlopen(url, timeout=2)
            fail(f"{url} still answers after {why}")
        except urllib.error.URLError:
            pass


def main():
    with tempfile.TemporaryDirectory() as root:
        data = os.urandom(600 * 1024)
        with open(os.path.join(root, "pkg.bin"), "wb") as f:
            f.write(data)
        proc, urls = start(root, "good,good,slow,corrupt,404,norange,redirect", ("--slow-rate", "100k"))
        try:
            expected = {"good", "good2", "slow", "corrupt", "404", "norange", "redirect"}
            if set(urls) != expected:
                fail(f"mirror names {sorted(urls)}")
            if len({u.split("/")[2] for u in urls.values()}) != len(urls):
                fail("mirrors share an address and port")
            for name in ("good", "good2", "redirect"):  # urllib follows the redirect
                status, body = fetch(urls[name] + "pkg.bin", 1000, 1999)
                if status != 206 or body != data[1000:2000]:
                    fail(f"{name}: status {status}, right bytes: {body == data[1000:2000]}")
            host, port = urls["redirect"].split("/")[2].split(":")
            conn = http.client.HTTPConnection(host, int(port), timeout=10)
            conn.request("GET", "/pkg.bin")
            answer = conn.getresponse()
            if answer.status != 302 or answer.getheader("Location") != urls["good"] + "pkg.bin":
                fail(f"redirect: {answer.status} to {answer.getheader('Location')}")
            conn.close()
            started = time.monotonic()
            status, body = fetch(urls["slow"] + "pkg.bin", 0, 200 * 1024 - 1)
            took = time.monotonic() - started
            if status != 206 or body != data[:200 * 1024] or took < 0.8:
                fail(f"slow: status {status}, {took:.2f} s for 200 KiB at 100 KiB/s")
            status, body = fetch(urls["corrupt"] + "pkg.bin", 0, len(data) - 1)
            wrong = [i for i in range(len(data)) if body[i] != data[i]]
            if status != 206 or len(body) != len(data) or wrong != [STRIDE // 2, STRIDE // 2 + STRIDE]:
                fail(f"corrupt: status {status}, bytes differing at {wrong[:5]}")
            try:
                fetch(urls["404"] + "pkg.bin", 0, 9)
                fail("404 mirror answered")
            except urllib.error.HTTPError as e:
                if e.code != 404:
                    fail(f"404 mirror: {e.code}")
            status, body = fetch(urls["norange"] + "pkg.bin", 1000, 1999)
            if status != 200 or body != data:
                fail(f"norange: status {status}, {len(body)} bytes")
            with open(os.path.join(root, "pkg.bin"), "rb") as f:
                if f.read() != data:
                    fail("the served folder was changed")
        finally:
            if proc.poll() is None:
                proc.stdin.close()
        wait_gone(proc, [urls["good"]], "stdin closed")
        if proc.returncode != 0:
            fail(f"exit {proc.returncode} after stdin closed")

        proc, urls = start(root, "good")
        proc.send_signal(signal.SIGTERM)
        wait_gone(proc, [urls["good"]], "SIGTERM")
    print("mirrors harness: ok")


if __name__ == "__main__":
    main()
