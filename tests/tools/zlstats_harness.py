"""Shared by the zlstats process tests and the bench: start zlstats on a
database (an SQLite file, or the PostgreSQL server of with_postgres.py), post
as the statistics uploader posts, and read the database back."""
import http.client
import json
import os
import signal
import sqlite3
import subprocess
import time
import urllib.parse


def client_info(mach_id, sequence, **members):
    info = {"MachId": mach_id, "Mac": "02-00-00-00-00-01", "OS": "610642", "Sessionid": "",
            "Sequence": str(sequence), "DVersion": "1.8", "GameID": "5", "AppVersion": "0.1.0",
            "GVersion": "v300", "Dchannel": "zephyrloader", "Totaltime": "0", "Inhttptotalbytes": "0",
            "Inp2ptotalbytes": "0", "Errormsg": ""}
    info.update({k: str(v) for k, v in members.items()})
    return json.dumps(info, ensure_ascii=False, separators=(",", ":"))


def form_body(items):
    """items: (code, info text) pairs, as the uploader's "data=" body."""
    data = json.dumps([{"code": c, "info": i} for c, i in items], ensure_ascii=False, separators=(",", ":"))
    return ("data=" + urllib.parse.quote(data, safe="")).encode()


class Zlstats:
    """One zlstats process; `db` is a file path or a PostgreSQL URL."""

    def __init__(self, binary, db, work, host="127.0.0.1", extra=(), name="zlstats"):
        self.db, self.host = db, host
        self.log = os.path.join(work, name + ".log")
        self.proc = subprocess.Popen([binary, "--db", db, "--host", host, "--port", "0", "--log", self.log] +
                                     list(extra), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("listening "):
            self.proc.wait(10)
            raise RuntimeError("zlstats did not start: " + line + self.proc.stderr.read())
        self.port = int(line.split()[2])
        self.dashboard = self.proc.stdout.readline().split()[1]

    def post(self, body, source=None, path="/zlsubmit/eventListSubmit", connection=None, headers=None):
        """(status, answer) of one post; a kept connection may be passed in."""
        conn = connection or http.client.HTTPConnection(self.host, self.port, timeout=30,
                                                        source_address=(source, 0) if source else None)
        try:
            conn.request("POST", path, body=body,
                         headers=dict({"Content-Type": "application/x-www-form-urlencoded"}, **(headers or {})))
            r = conn.getresponse()
            answer = r.read()
            if r.getheader("Connection", "").lower() == "close":
                conn.close()
            return r.status, answer
        finally:
            if connection is None:
                conn.close()

    def get(self, path):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            conn.request("GET", path)
            r = conn.getresponse()
            return r.status, r.read()
        finally:
            conn.close()

    def summary(self, start, end):
        status, answer = self.get(f"/api/summary?from={start}&to={end}")
        assert status == 200, answer
        return json.loads(answer)

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def log_text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.kill()
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()


def query(db, sql):
    """Rows of `sql` run on the database directly (text columns for PostgreSQL)."""
    if db.startswith("postgresql://"):
        out = subprocess.run(["psql", "-X", "-At", "-F", "\t", "-d", db, "-c", sql], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        return [tuple(line.split("\t")) for line in out.splitlines()]
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=30) as c:
        return [tuple(str(v) for v in row) for row in c.execute(sql).fetchall()]


def count(db, sql):
    return int(query(db, sql)[0][0])


def reset_postgres(url):
    subprocess.run(["psql", "-X", "-q", "-d", url, "-c", "DROP SCHEMA public CASCADE; CREATE SCHEMA public"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def database(backend, work, name="stats"):
    """A fresh database of the backend: a file in `work`, or the emptied PostgreSQL database."""
    if backend == "postgres":
        url = os.environ.get("ZL_TEST_POSTGRES_URL")
        if not url:
            raise RuntimeError("run through tests/tools/with_postgres.py")
        reset_postgres(url)
        return url
    return os.path.join(work, name + ".db")


def wait_until(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} not within {seconds} s")
        time.sleep(0.05)
