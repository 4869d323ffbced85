#!/usr/bin/env python3
"""Serves one folder as several HTTP mirrors from a single nginx process.

    tests/harness/mirrors.py --root DIR [--mirrors good,slow,corrupt,404,norange,redirect]

Each mirror listens on its own 127.0.0.x address and a free port:
  good      serves DIR (ranges as usual)
  slow      serves DIR at --slow-rate (nginx limit_rate)
  corrupt   serves a copy of DIR in which one byte of every 256 KiB is flipped
  404       answers 404 to everything
  norange   ignores Range headers and answers 200 with the whole file
  redirect  answers 302 to the first good mirror
A kind named more than once gets numbered names: "good", "good2", ...

Once every mirror listens, one JSON object mapping mirror name -> base URL
(ending in "/") is printed on stdout. It runs until SIGTERM or SIGINT, or
until stdin reaches its end when stdin is a pipe or a terminal (so a parent
that dies takes the mirrors with it). nginx's access log (port, status, bytes
sent, request) is kept in the work folder, given with --workdir or temporary.
Uses only the Python standard library and Debian's nginx-light.
"""
import argparse
import json
import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

NGINX = "/usr/sbin/nginx"
KINDS = ("good", "slow", "corrupt", "404", "norange", "redirect")
FIRST_ADDRESS = {"good": 2, "slow": 20, "corrupt": 30, "404": 40, "norange": 50, "redirect": 60}
CORRUPT_STRIDE = 256 * 1024


def free_port(address):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def listening(address, port):
    try:
        with socket.create_connection((address, port), timeout=0.2):
            return True
    except OSError:
        return False


def corrupt_copy(source, target):
    """Copies the tree under source to target, flipping one byte per stride in every file."""
    for folder, _, files in os.walk(source):
        rel = os.path.relpath(folder, source)
        out_folder = os.path.normpath(os.path.join(target, rel))
        os.makedirs(out_folder, exist_ok=True)
        for name in files:
            src = os.path.join(folder, name)
            dst = os.path.join(out_folder, name)
            shutil.copyfile(src, dst)
            size = os.path.getsize(dst)
            with open(dst, "r+b") as f:
                for offset in range(CORRUPT_STRIDE // 2 if size > CORRUPT_STRIDE // 2 else 0, size, CORRUPT_STRIDE):
                    f.seek(offset)
                    byte = f.read(1)
                    f.seek(offset)
                    f.write(bytes([byte[0] ^ 0xFF]))


def plan_mirrors(kinds):
    """Returns [(name, kind, address)] with numbered names for repeated kinds."""
    plan, seen = [], {}
    for kind in kinds:
        n = seen.get(kind, 0)
        seen[kind] = n + 1
        name = kind if n == 0 else f"{kind}{n + 1}"
        plan.append((name, kind, f"127.0.0.{FIRST_ADDRESS[kind] + n}"))
    return plan


def nginx_config(work, root, corrupt_root, mirrors, slow_rate):
    good = next((m for m in mirrors if m["kind"] == "good"), None)
    servers = []
    for m in mirrors:
        lines = [f"listen {m['address']}:{m['port']};"]
        kind = m["kind"]
        lines.append(f"root {corrupt_root if kind == 'corrupt' else root};")
        if kind == "slow":
            lines.append(f"limit_rate {slow_rate};")
        elif kind == "404":
            lines.append("return 404;")
        elif kind == "norange":
            lines.append("max_ranges 0;")
        elif kind == "redirect":
            lines.append(f"return 302 {good['url'].rstrip('/')}$request_uri;")
        servers.append("  server {\n" + "".join(f"    {line}\n" for line in lines) + "  }\n")
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    return (
        "daemon off;\nmaster_process off;\nuser root;\n"
        f"pid {work}/nginx.pid;\n"
        f"error_log {work}/error.log info;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "  sendfile on;\n"
        "  log_format mirrors '$server_port $status $body_bytes_sent \"$request\" \"$http_range\"';\n"
        f"  access_log {work}/access.log mirrors;\n"
        + "".join(f"  {kind}_temp_path {tmp};\n" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        + "".join(servers)
        + "}\n"
    )


def watches_stdin():
    try:
        mode = os.fstat(sys.stdin.fileno()).st_mode
    except (OSError, ValueError):
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or sys.stdin.isatty()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--mirrors", default=",".join(KINDS),
                        help="comma-separated mirror kinds (default: one of each)")
    parser.add_argument("--slow-rate", default="256k", help="nginx limit_rate of the slow mirror (default 256k)")
    parser.add_argument("--workdir", help="folder for nginx's configuration, logs and the corrupt copy")
    args = parser.parse_args()

    kinds = [k.strip() for k in args.mirrors.split(",") if k.strip()]
    bad = [k for k in kinds if k not in KINDS]
    if bad or not kinds:
        parser.error(f"unknown mirror kind(s) {bad}; choose from {', '.join(KINDS)}")
    if "redirect" in kinds and "good" not in kinds:
        parser.error("a redirect mirror needs a good mirror to point at")
    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        parser.error(f"no folder {root}")
    if not os.path.exists(NGINX):
        sys.exit(f"mirrors: {NGINX} is missing (apt-get install nginx-light)")

    temporary = args.workdir is None
    work = tempfile.mkdtemp(prefix="zl-mirrors-") if temporary else os.path.abspath(args.workdir)
    os.makedirs(work, exist_ok=True)
    nginx = None
    stop = {"now": False}

    def on_signal(signum, frame):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        corrupt_root = os.path.join(work, "corrupt")
        if "corrupt" in kinds:
            shutil.rmtree(corrupt_root, ignore_errors=True)
            corrupt_copy(root, corrupt_root)
        mirrors = []
        for name, kind, address in plan_mirrors(kinds):
            port = free_port(address)
            mirrors.append({"name": name, "kind": kind, "address": address, "port": port,
                            "url": f"http://{address}:{port}/"})
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_config(work, root, corrupt_root, mirrors, args.slow_rate))
        with open(os.path.join(work, "nginx.out"), "w") as out:
            nginx = subprocess.Popen([NGINX, "-p", work, "-c", conf, "-e", os.path.join(work, "error.log")],
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not all(listening(m["address"], m["port"]) for m in mirrors):
            if nginx.poll() is not None or time.monotonic() > deadline or stop["now"]:
                sys.stderr.write(f"mirrors: nginx did not start; see {work}/error.log\n")
                return 1
            time.sleep(0.05)
        print(json.dumps({m["name"]: m["url"] for m in mirrors}), flush=True)

        watch = watches_stdin()
        while not stop["now"] and nginx.poll() is None:
            if watch:
                ready, _, _ = select.select([sys.stdin], [], [], 0.2)
                if ready and not os.read(sys.stdin.fileno(), 4096):
                    break
            else:
                time.sleep(0.2)
        if nginx.poll() is not None and not stop["now"]:
            sys.stderr.write(f"mirrors: nginx ended by itself ({nginx.returncode}); see {work}/error.log\n")
            return 1
        return 0
    finally:
        if nginx is not None and nginx.poll() is None:
            nginx.terminate()
            try:
                nginx.wait(timeout=5)
            except subprocess.TimeoutExpired:
                nginx.kill()
                nginx.wait()
        if temporary:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
