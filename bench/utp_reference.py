#!/usr/bin/python3
"""Two python3-libtorrent sessions on loopback moving one file over uTP only
(TCP switched off both ways): the reference for one UDP stream's throughput.
Prints one JSON object: MiB, seconds, MiB/s and CPU seconds per MiB of the
whole process (both sessions; the leecher also checks every piece's SHA-1).

    /usr/bin/python3 bench/utp_reference.py [--mib N]
"""
import argparse
import json
import os
import resource
import shutil
import sys
import tempfile
import time

import libtorrent as lt


def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def session(address):
    s = lt.session({
        "listen_interfaces": "%s:0" % address,
        "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
        "enable_outgoing_tcp": False, "enable_incoming_tcp": False,
        "enable_outgoing_utp": True, "enable_incoming_utp": True,
        "alert_mask": lt.alert.category_t.error_notification,
    })
    return s


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=64)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="zl-utp-")
    try:
        seed_dir, leech_dir = os.path.join(work, "seed"), os.path.join(work, "leech")
        os.makedirs(seed_dir)
        os.makedirs(leech_dir)
        path = os.path.join(seed_dir, "payload.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(args.mib << 20))
        fs = lt.file_storage()
        lt.add_files(fs, path)
        t = lt.create_torrent(fs, 1 << 20, flags=lt.create_torrent.v1_only)
        lt.set_piece_hashes(t, seed_dir)
        info = lt.torrent_info(lt.bencode(t.generate()))

        seeder, leecher = session("127.0.8.5"), session("127.0.8.6")
        sp = lt.add_torrent_params()
        sp.ti = info
        sp.save_path = seed_dir
        sp.flags |= lt.torrent_flags.seed_mode
        seed = seeder.add_torrent(sp)
        lp = lt.add_torrent_params()
        lp.ti = lt.torrent_info(info)
        lp.save_path = leech_dir
        leech = leecher.add_torrent(lp)
        time.sleep(0.5)
        port = seeder.listen_port()
        start_cpu, start = cpu(), time.monotonic()
        leech.connect_peer(("127.0.8.5", port))
        deadline = start + 300
        while not leech.status().is_seeding and time.monotonic() < deadline:
            time.sleep(0.01)
        seconds = time.monotonic() - start
        used = cpu() - start_cpu
        done = leech.status().is_seeding
        print(json.dumps({"case": "libtorrent utp", "ok": done, "mib": args.mib, "seconds": round(seconds, 3),
                          "mib_per_s": round(args.mib / seconds, 2), "cpu_s_per_mib": round(used / args.mib, 5)}))
        del seed, leech
        return 0 if done else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
