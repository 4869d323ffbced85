#!/usr/bin/env -S python3 -u
"""The dashboard in a real browser: known events are posted to zlstats, then
Debian's Chromium (headless) loads the page for their period; the figures it
shows, read from its DOM, must equal the known ones, and a screenshot is kept.

    zlstats_dashboard_test.py ZLSTATS sqlite|postgres SCREENSHOT.png
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zlstats_harness import Zlstats, client_info, database, form_body  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--virtual-time-budget=15000", "--window-size=1280,1500"]


def chromium(work, *args):
    profile = tempfile.mkdtemp(prefix="profile-", dir=work)
    return subprocess.run([CHROMIUM] + FLAGS + [f"--user-data-dir={profile}"] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)


def known_events():
    """Three machines' downloads: posts and the figures they must give."""
    posts = []
    # A completed, verified download, half from peers.
    a = "00000000000000A1"
    posts.append([("11010000", client_info(a, 0)),
                  ("11050000", client_info(a, 1, Inhttptotalbytes=400_000_000, Inp2ptotalbytes=100_000_000)),
                  ("11060000", client_info(a, 2, Inhttptotalbytes=100_000_000, Inp2ptotalbytes=400_000_000,
                                           Averagespeed=4_000_000, Totaltime=250)),
                  ("11100003", client_info(a, 3)), ("11100004", client_info(a, 4))])
    # A download that timed out, all from servers.
    b = "00000000000000B2"
    posts.append([("11010000", client_info(b, 0, OS="611640")),
                  ("11990202", client_info(b, 1, OS="611640", Inhttptotalbytes=300_000_000, Errormsg="timeout"))])
    # One that could not start its engine, and a port mapping that failed.
    c = "00000000000000C3"
    posts.append([("11010000", client_info(c, 0)), ("11400101", client_info(c, 1, Errormsg="engine")),
                  ("11500105", client_info(c, 2))])
    server, peer = 800_000_000, 500_000_000
    figures = {"fig-begun": "3", "fig-completed": "1", "fig-verified": "1", "fig-repaired": "1",
               "fig-failed": "2", "fig-events": "10", "fig-machines": "3",
               "fig-server-bytes": str(server), "fig-peer-bytes": str(peer)}
    return posts, figures, peer / (server + peer)


def main():
    binary, backend, screenshot = sys.argv[1:4]
    if not os.access(CHROMIUM, os.X_OK):
        print("SKIPPED: Debian's chromium is not installed (scripts/setup installs it)")
        return 77
    with tempfile.TemporaryDirectory(prefix="zlstats-dashboard-") as work:
        z = Zlstats(binary, database(backend, work), work)
        try:
            posts, figures, share = known_events()
            start = int(time.time()) - 1
            for items in posts:
                status, answer = z.post(form_body(items))
                assert status == 200, answer
            end = int(time.time()) + 2
            url = f"{z.dashboard}?from={start}&to={end}"
            dom = chromium(work, "--dump-dom", url).stdout
            state = re.search(r'<body data-state="(\w+)"', dom)
            if not state or state.group(1) != "ready":
                print(dom[:3000])
                raise AssertionError(f"the page did not finish drawing: {state and state.group(1)}")
            shown = dict(re.findall(r'id="(fig-[a-z-]+)" data-value="([^"]*)"', dom))
            wrong = {k: (shown.get(k), v) for k, v in figures.items() if shown.get(k) != v}
            assert not wrong, f"figures shown differ (shown, known): {wrong}"
            assert abs(float(shown["fig-peer-share"]) - share) < 1e-9, (shown["fig-peer-share"], share)
            assert "38.46 %" in dom, "the peers' share is not shown as a percentage"
            for code in ("11990202", "11400101", "11500105"):
                assert f"<td>{code}</td>" in dom, f"failure event {code} missing from the table"
            assert "OS 610, 64-bit" in dom and "OS 611, 64-bit" in dom, "systems missing"
            # Nothing was fetched from outside: the page has no address but its own.
            assert not re.search(r'(src|href)="(https?:)?//', dom), "the page refers to another host"
            os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
            chromium(work, f"--screenshot={os.path.abspath(screenshot)}", url)
            assert os.path.getsize(screenshot) > 10000, "no screenshot"
            print(f"the dashboard shows the known figures; screenshot {screenshot}")
        finally:
            z.stop()
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
