#!/usr/bin/env python3
"""Builds real torrents with mktorrent and libtorrent into a folder and writes
a manifest of what an independent reader computes for each: the SHA-1 of the
info dictionary's bytes as they stand in the file, the piece length, the
piece count, the total size and the file count.

usage: make_torrents.py OUTDIR
       make_torrents.py --info-hash TORRENT   # prints that SHA-1 alone
"""
import hashlib
import os
import random
import subprocess
import sys


def bvalue_end(data, i):
    """Index just past the bencoded value starting at i."""
    c = data[i:i + 1]
    if c == b"i":
        return data.index(b"e", i) + 1
    if c in (b"l", b"d"):
        i += 1
        while data[i:i + 1] != b"e":
            i = bvalue_end(data, i)
        return i + 1
    colon = data.index(b":", i)
    return colon + 1 + int(data[i:colon])


def decode(data, i=0):
    c = data[i:i + 1]
    if c == b"i":
        end = data.index(b"e", i)
        return int(data[i + 1:end]), end + 1
    if c == b"l":
        out, i = [], i + 1
        while data[i:i + 1] != b"e":
            v, i = decode(data, i)
            out.append(v)
        return out, i + 1
    if c == b"d":
        out, i = {}, i + 1
        while data[i:i + 1] != b"e":
            k, i = decode(data, i)
            start = i
            v, i = decode(data, i)
            out[k] = v
            if k == b"info":
                out[b"__info_slice"] = (start, i)
        return out, i + 1
    colon = data.index(b":", i)
    n = int(data[i:colon])
    return data[colon + 1:colon + 1 + n], colon + 1 + n


def encode(v, order=None):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, list):
        return b"l" + b"".join(encode(x) for x in v) + b"e"
    keys = order if order is not None else sorted(v)
    return b"d" + b"".join(encode(k) + encode(v[k]) for k in keys) + b"e"


def manifest_line(path):
    data = open(path, "rb").read()
    top, _ = decode(data)
    start, end = top[b"__info_slice"]
    assert end == bvalue_end(data, start)
    info = top[b"info"]
    digest = hashlib.sha1(data[start:end]).hexdigest()
    if b"files" in info:
        total = sum(f[b"length"] for f in info[b"files"])
        count = len(info[b"files"])
    else:
        total, count = info[b"length"], 1
    pieces = len(info[b"pieces"]) // 20
    return "%s %s %d %d %d %d\n" % (os.path.basename(path), digest, info[b"piece length"], pieces, total, count)


def write_data(folder, sizes, rng):
    os.makedirs(folder, exist_ok=True)
    for rel, size in sizes:
        p = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(rng.randbytes(size))


def info_hash(path):
    data = open(path, "rb").read()
    top, _ = decode(data)
    start, end = top[b"__info_slice"]
    return hashlib.sha1(data[start:end]).hexdigest()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--info-hash":
        print(info_hash(sys.argv[2]))
        return
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(20261210)
    made = []

    single = os.path.join(out, "single.bin")
    write_data(out, [("single.bin", 1000003)], rng)
    multi = os.path.join(out, "multi")
    write_data(multi, [("a.bin", 700000), ("sub/b.bin", 16384), ("sub/deeper/c.txt", 5), ("z", 333333)], rng)

    # mktorrent: piece sizes 32 KiB (its smallest) .. 16 MiB, single- and multi-file;
    # libtorrent below covers 16 KiB.
    for exp in (15, 18, 20, 22, 24):
        for kind, src in (("s", single), ("m", multi)):
            name = os.path.join(out, "mk_%s_%d.torrent" % (kind, exp))
            subprocess.run(["mktorrent", "-l", str(exp), "-a", "http://127.0.0.2:6969/announce",
                            "-a", "udp://127.0.0.3:6969", "-c", "made by mktorrent", "-o", name, src],
                           check=True, stdout=subprocess.DEVNULL)
            made.append(name)

    # libtorrent: v1 torrents.
    import libtorrent as lt
    for kind, src, piece in (("s", single, 16384), ("m", multi, 65536), ("m2", multi, 1 << 21)):
        fs = lt.file_storage()
        lt.add_files(fs, src)
        ct = lt.create_torrent(fs, piece, flags=lt.create_torrent.v1_only)
        ct.add_tracker("http://127.0.0.4:6969/announce", 0)
        ct.add_tracker("http://127.0.0.5:6969/announce", 1)
        lt.set_piece_hashes(ct, os.path.dirname(src))
        name = os.path.join(out, "lt_%s.torrent" % kind)
        with open(name, "wb") as f:
            f.write(lt.bencode(ct.generate()))
        made.append(name)

    # The same content with the info keys in reverse order: the hash covers the
    # bytes as written, so it differs from the canonical one.
    data = open(os.path.join(out, "mk_m_15.torrent"), "rb").read()
    top, _ = decode(data)
    info = top[b"info"]
    raw_info = encode(info, order=sorted(info, reverse=True))
    body = b"d8:announce%d:%s4:info%se" % (len(top[b"announce"]), top[b"announce"], raw_info)
    name = os.path.join(out, "reordered.torrent")
    with open(name, "wb") as f:
        f.write(body)
    made.append(name)

    with open(os.path.join(out, "manifest.txt"), "w") as m:
        for path in made:
            m.write(manifest_line(path))


if __name__ == "__main__":
    main()
