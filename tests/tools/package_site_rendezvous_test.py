#!/usr/bin/env python3
"""The package site runs zlrendezvous and its seeders register with it: the
site reports the server, every seeder registers, and a zlfetch get that
registers too fetches a package file from a seeder over the UDP stream (the
get asks the server for the seeder, by the placeholder of its address).

    package_site_rendezvous_test.py ZLFETCH     (exit 77: skipped, no nginx/opentracker/mktorrent)
"""
import filecmp
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SITE = os.path.join(ROOT, "tools", "package-site")
BASE = "127.0.81"


def main():
    zlfetch = os.path.abspath(sys.argv[1])
    for tool in ("/usr/sbin/nginx", "/usr/bin/opentracker", "/usr/bin/mktorrent", "/usr/bin/openssl"):
        if not os.access(tool, os.X_OK):
            print(f"SKIP: {tool} is missing")
            return 77
    if not os.access(os.path.join(os.path.dirname(zlfetch), "zlrendezvous"), os.X_OK):
        print("SKIP: zlrendezvous is not built next to zlfetch")
        return 77
    work = tempfile.mkdtemp(prefix="zl-rdv-site-")
    site = os.path.join(work, "site")
    try:
        package = os.path.join(work, "package")
        subprocess.run([os.path.join(ROOT, "tools", "make-package"), "--scale", "tiny", "--out", package],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        up = subprocess.run([SITE, "up", "--package", package, "--work", site, "--base", BASE, "--zlfetch", zlfetch,
                             "--seeders", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert up.returncode == 0, up.stderr
        info = json.loads(up.stdout)
        rendezvous = info["rendezvous"]
        assert rendezvous and rendezvous.startswith(BASE + ".7:"), info
        log = os.path.join(site, "rendezvous.log")

        with open(os.path.join(package, "manifest.json")) as f:
            name = sorted(json.load(f)["files"], key=lambda e: e["size"])[0]["name"]
        get_dir = os.path.join(work, "get")
        os.makedirs(get_dir)
        # The seeders register at start; the get finds them through the tracker.
        get = subprocess.run([zlfetch, "get", os.path.join(info["resources"], name + ".torrent"), "--dir", get_dir,
                              "--bind", BASE + ".20", "--rendezvous", rendezvous, "--json"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        with open(log) as f:
            lines = f.read().splitlines()
        registered = {l.split(" from ")[1].split()[0] for l in lines if l.startswith("register ")}
        for seeder in info["seeders"]:
            assert seeder in registered, (seeder, lines)
        assert get.returncode == 0, get.stdout[-2000:]
        assert filecmp.cmp(os.path.join(get_dir, name), os.path.join(package, name), shallow=False)
        final = json.loads(get.stdout.strip().splitlines()[-1])
        assert final["bt_bytes"] == final["bytes_total"] and final["http_bytes"] == 0, final
        asked = [l for l in lines if l.startswith("connect-request ") and f" at {BASE}.20:" in l]
        assert any(" 0 of " not in l for l in asked), lines
        print(f"the site's rendezvous at {rendezvous}: {len(info['seeders'])} seeders registered; {name} came over "
              f"the UDP stream in {final['elapsed_s']:.1f} s")
        return 0
    finally:
        subprocess.run([SITE, "down", "--work", site], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
