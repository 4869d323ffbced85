#!/usr/bin/env python3
"""Runs a command against a PostgreSQL server of its own: a cluster made by
initdb in a temporary folder, started by pg_ctl on a unix socket there (no
TCP port), as an unprivileged user since the server refuses root. The command
finds the server in ZL_TEST_POSTGRES_URL; the cluster is removed afterwards.

    with_postgres.py COMMAND [ARGS...]

Exits 77 (skipped) with a message where PostgreSQL is not installed.
"""
import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile


def server_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"), key=lambda p: int(p.split("/")[4]))
    return os.path.dirname(found[-1]) if found else None


def run_as(user):
    return ["runuser", "-u", user, "--"] if os.geteuid() == 0 else []


class Cluster:
    """A started server; url() names it."""

    def __init__(self):
        self.bin = server_bin()
        if not self.bin:
            raise FileNotFoundError("PostgreSQL is not installed (scripts/setup installs it)")
        self.user = "postgres"
        try:
            pwd.getpwnam(self.user)
        except KeyError:
            self.user = "nobody"
        if os.geteuid() != 0:
            self.user = pwd.getpwuid(os.geteuid()).pw_name
        self.dir = tempfile.mkdtemp(prefix="zl-postgres-")
        os.chmod(self.dir, 0o755)
        if os.geteuid() == 0:
            entry = pwd.getpwnam(self.user)
            os.chown(self.dir, entry.pw_uid, entry.pw_gid)
        data = os.path.join(self.dir, "data")
        self.data = data
        subprocess.run(run_as(self.user) + [os.path.join(self.bin, "initdb"), "-D", data, "-U", "postgres",
                                            "--auth=trust", "-E", "UTF8", "--locale=C"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(run_as(self.user) + [os.path.join(self.bin, "pg_ctl"), "-D", data, "-w", "-l",
                                            os.path.join(self.dir, "server.log"), "-o",
                                            f"-k {self.dir} -c listen_addresses='' -c max_connections=200",
                                            "start"], check=True, stdout=subprocess.DEVNULL)

    def url(self):
        return f"postgresql:///postgres?host={self.dir}&user=postgres"

    def stop(self):
        subprocess.run(run_as(self.user) + [os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m", "fast", "-w",
                                            "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    try:
        cluster = Cluster()
    except FileNotFoundError as e:
        print(f"SKIPPED: {e}")
        return 77
    try:
        env = dict(os.environ, ZL_TEST_POSTGRES_URL=cluster.url())
        return subprocess.run(sys.argv[1:], env=env).returncode
    finally:
        cluster.stop()


if __name__ == "__main__":
    sys.exit(main())
