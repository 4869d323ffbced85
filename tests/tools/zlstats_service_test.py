#!/usr/bin/env -S python3 -u
"""zlstats as a process, on SQLite or on PostgreSQL (under with_postgres.py):
the uploader's posts stored once however often they are retried, also across
two processes on one database; hostile posts refused with nothing stored; a
flood from one address answered 429 beyond its rate while another address is
served; SIGKILL in a flood loses no post that was answered 200.

    zlstats_service_test.py ZLSTATS sqlite|postgres [CASE...]
"""
import http.client
import os
import random
import socket
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zlstats_harness import Zlstats, client_info, count, database, form_body, query  # noqa: E402

MACH = "0A1B2C3D4E5F6071"


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def stored_events(db):
    return count(db, "SELECT count(*) FROM events")


def case_retries_stored_once(binary, backend, work):
    db = database(backend, work)
    a = Zlstats(binary, db, work, name="a")
    b = Zlstats(binary, db, work, name="b")  # a second process on the same database
    try:
        check("schema version 0 -> 1" in a.log_text(), "the first start did not migrate: " + a.log_text())
        check("schema version" not in b.log_text(), "the second start migrated again")
        body = form_body([("11010000", client_info(MACH, 0)),
                          ("11060000", client_info(MACH, 1, Inhttptotalbytes=3000, Inp2ptotalbytes=1000,
                                                   Averagespeed=500000, Totaltime=120))])
        status, answer = a.post(body)
        check(status == 200 and b'"error":0' in answer, f"first post: {status} {answer}")
        # The uploader tries its next URL when an answer is lost: the other process.
        status, answer = b.post(body, path="/any/other/path")
        check(status == 200 and b'"error":0' in answer and b'"duplicates":2' in answer, f"retry: {status} {answer}")
        check(stored_events(db) == 2, f"{stored_events(db)} events stored, not 2")
        now = int(time.time())
        s = b.summary(now - 3600, now + 10)
        check(s["downloads"]["begun"] == 1 and s["downloads"]["completed"] == 1, s["downloads"])
        check(s["bytes"] == {"server": 3000, "peer": 1000, "peer_share": 0.25}, s["bytes"])
        # Concurrent retries of one post through both processes: still once.
        body = form_body([("11050000", client_info(MACH, n)) for n in range(2, 22)])
        results = []
        threads = [threading.Thread(target=lambda z=z: results.append(z.post(body)[0])) for z in (a, b, a, b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        check(results == [200] * 4, results)
        check(stored_events(db) == 22, f"{stored_events(db)} events stored, not 22")
    finally:
        a.stop()
        b.stop()


def chunked(conn, path, chunks):
    """Posts an endless-looking chunked body; returns the status."""
    conn.putrequest("POST", path)
    conn.putheader("Transfer-Encoding", "chunked")
    conn.putheader("Content-Type", "application/x-www-form-urlencoded")
    conn.endheaders()
    try:
        for chunk in chunks:
            conn.send(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        conn.send(b"0\r\n\r\n")
    except OSError:
        pass  # the service stopped reading: its answer is waiting
    return conn.getresponse().status


def case_hostile_posts_refused(binary, backend, work):
    db = database(backend, work)
    z = Zlstats(binary, db, work)
    try:
        good = client_info(MACH, 0)
        z.post(form_body([("11010000", good)]))
        before = stored_events(db)
        sql = "'); DROP TABLE events; --"
        every = {k: sql for k in ("MachId", "Mac", "OS", "Sessionid", "Sequence", "DVersion", "GameID",
                                  "AppVersion", "GVersion", "Dchannel", "Totaltime", "Inhttptotalbytes",
                                  "Inp2ptotalbytes", "Errormsg")}
        one_event = '{"code":"11010000","info":' + '"{}"' + "}"
        cases = [
            ("a 100 MiB body", lambda: z.post(b"data=" + b"a" * (100 << 20))[0]),
            ("a 100 MiB chunked body", lambda: chunked(http.client.HTTPConnection(z.host, z.port, timeout=30),
                                                     "/zlsubmit/eventListSubmit",
                                                     (b"a" * (1 << 20) for _ in range(100)))),
            ("10^6 events", lambda: z.post(("data=[" + ",".join([one_event] * 10**6) + "]").encode())[0]),
            ("10^6 events in 1 MiB", lambda: z.post(b"data=[" + b"{},"[:3] * (10**6 // 3) + b"{}]")[0]),
            ("invalid UTF-8", lambda: z.post(b"data=" + urllib.parse.quote_from_bytes(
                ('[{"code":"11010000","info":"' + good.replace('"', '\\"') + '"}]').encode()
                .replace(b'"Errormsg\\":\\"', b'"Errormsg\\":\\"\xff\xfe')).encode())[0]),
            ("JSON nested 10^5 deep", lambda: z.post(b"data=" + b"[" * 100000 + b"]" * 100000)[0]),
            ("SQL in every field", lambda: z.post(form_body([(sql, client_info(MACH, 1, **every))]))[0]),
            ("SQL in the identifying fields", lambda: z.post(form_body([("11010000", client_info(MACH, 1, **every))]))[0]),
            ("no data field", lambda: z.post(b"other=1")[0]),
        ]
        for what, send in cases:
            status = send()
            check(status == 400, f"{what}: answered {status}, not 400")
            check(stored_events(db) == before, f"{what}: something was stored")
        log = z.log_text()
        check(log.count("refused a") >= len(cases), "not every refusal has its log line:\n" + log)
        # The tables are all there, and the service still works.
        check(count(db, "SELECT count(*) FROM machines") == 1, "the machines table changed")
        status, _ = z.post(form_body([("11030000", client_info(MACH, 2, Errormsg=sql))]))
        check(status == 200, f"a post after the hostile ones: {status}")
        check(query(db, "SELECT error_msg FROM events WHERE sequence = 2") == [(sql,)], "the text was not kept as it was")
    finally:
        z.stop()


def case_flood_limited_per_address(binary, backend, work):
    db = database(backend, work)
    rate, burst = 20, 200
    z = Zlstats(binary, db, work, host="127.0.0.1", extra=["--rate", str(rate), "--burst", str(burst)])
    try:
        statuses = {}
        lock = threading.Lock()
        rss = [z.rss_kib()]
        flooding = threading.Event()
        flooding.set()

        def sample():
            while flooding.is_set():
                rss.append(z.rss_kib())
                time.sleep(0.1)

        def flood(worker, posts):
            conn = None
            for n in range(posts):
                if conn is None or conn.sock is None:
                    conn = http.client.HTTPConnection(z.host, z.port, timeout=30, source_address=("127.0.0.2", 0))
                status, _ = z.post(form_body([("11050000", client_info(MACH, worker * 100000 + n))]),
                                   connection=conn)
                with lock:
                    statuses[status] = statuses.get(status, 0) + 1

        other_ok = []

        def other():
            for n in range(40):
                status, _ = z.post(form_body([("11010000", client_info("FFFF00000000FFFF", n))]), source="127.0.0.3")
                other_ok.append(status)
                time.sleep(0.1)  # 10 posts/s, under the limit

        start = time.monotonic()
        threads = [threading.Thread(target=flood, args=(w, 2500)) for w in range(4)]
        threads += [threading.Thread(target=other), threading.Thread(target=sample)]
        for t in threads[:-1]:
            t.start()
        threads[-1].start()
        for t in threads[:-1]:
            t.join()
        flooding.clear()
        threads[-1].join()
        elapsed = time.monotonic() - start
        allowed = statuses.get(200, 0)
        print(f"flood: {sum(statuses.values())} posts in {elapsed:.1f} s: {statuses}; zlstats RSS "
              f"{min(rss)}..{max(rss)} KiB")
        check(sum(statuses.values()) == 10000 and set(statuses) <= {200, 429}, statuses)
        check(allowed <= burst + rate * elapsed + 2, f"{allowed} posts let through in {elapsed:.1f} s")
        check(allowed >= burst, f"only {allowed} posts let through")
        check(other_ok == [200] * 40, f"the other address was answered {other_ok}")
        check(count(db, "SELECT count(*) FROM events WHERE address = '127.0.0.3'") == 40, "the other address lost posts")
        check(count(db, "SELECT count(*) FROM events WHERE address = '127.0.0.2'") == allowed,
              "the flood's stored events differ from the posts answered 200")
        check("rate limit: refused a post from 127.0.0.2" in z.log_text(), "no log line for the rate limit")
    finally:
        z.stop()


def case_sigkill_loses_no_answered_post(binary, backend, work):
    db = database(backend, work)
    z = Zlstats(binary, db, work, extra=["--rate", "0"])
    answered, refused = [], []
    lock = threading.Lock()
    stop = threading.Event()

    def sender(worker):
        mach = "%016X" % (0xABC000 + worker)
        n = 0
        conn = http.client.HTTPConnection(z.host, z.port, timeout=10)
        while not stop.is_set():
            body = form_body([("11050000", client_info(mach, n * 20 + i)) for i in range(20)])
            try:
                status, _ = z.post(body, connection=conn)
            except (OSError, http.client.HTTPException):
                return
            if status != 200:
                refused.append(status)
                return
            with lock:
                answered.append((mach, n))
            n += 1

    seed = int(os.environ.get("ZL_TEST_SEED", random.randrange(1 << 30)))
    print(f"seed {seed}")
    threads = [threading.Thread(target=sender, args=(w,)) for w in range(16)]
    for t in threads:
        t.start()
    # Killed at a random moment once the flood is under way.
    target, deadline = 50 + random.Random(seed).randrange(200), time.monotonic() + 60
    while len(answered) < target and not refused and time.monotonic() < deadline:
        time.sleep(0.005)
    z.kill()
    stop.set()
    for t in threads:
        t.join()
    z.stop()
    check(not refused and len(answered) >= target, f"the flood was answered {refused[:3]} before the kill")
    restarted = Zlstats(binary, db, work, name="restarted")
    try:
        present = set(query(db, "SELECT mach_id, sequence FROM events"))
        missing = [(m, n) for m, n in answered
                   if any((m, str(n * 20 + i)) not in present for i in range(20))]
        print(f"SIGKILL after {len(answered)} posts answered 200; {len(present)} events in the database")
        check(not missing, f"{len(missing)} answered posts lost, e.g. {missing[:3]} (seed {seed})")
        status, _ = restarted.post(form_body([("11010000", client_info(MACH, 0))]))
        check(status == 200, f"after the restart: {status}")
    finally:
        restarted.stop()


CASES = {name[5:]: f for name, f in sorted(globals().items()) if name.startswith("case_")}


def main():
    binary, backend = sys.argv[1], sys.argv[2]
    names = sys.argv[3:] or list(CASES)
    failed = 0
    for name in names:
        with tempfile.TemporaryDirectory(prefix="zlstats-") as work:
            try:
                CASES[name](binary, backend, work)
                print(f"ok {name} ({backend})")
            except Exception:
                failed += 1
                print(f"FAIL {name} ({backend})")
                traceback.print_exc()
    print(f"{len(names) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    socket.setdefaulttimeout(60)
    sys.exit(main())
