#!/usr/bin/env python3
"""Makes the tiny package and checks it: the manifest against md5sum, each
torrent against its file (length, every piece hash, info hash), the piece
length limit, determinism, reuse on a second run and repair of a damaged file.

    make_package_test.py path/to/make-package
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile

NAMES = ["Talvora300.exe", "Data300.zip", "Data30001.cab", "Data30002.cab"]


def bdecode(data, at=0):
    """Minimal decoder written apart from the tool's: returns (value, end)."""
    kind = data[at:at + 1]
    if kind == b"i":
        end = data.index(b"e", at)
        return int(data[at + 1:end]), end + 1
    if kind in (b"l", b"d"):
        items, at = [], at + 1
        while data[at:at + 1] != b"e":
            item, at = bdecode(data, at)
            items.append(item)
        if kind == b"l":
            return items, at + 1
        return dict(zip(items[0::2], items[1::2])), at + 1
    colon = data.index(b":", at)
    length = int(data[at:colon])
    return data[colon + 1:colon + 1 + length], colon + 1 + length


def info_span(data):
    """Byte span of the value under the top-level key "info"."""
    at = 1
    while data[at:at + 1] != b"e":
        key, at = bdecode(data, at)
        start = at
        _, at = bdecode(data, at)
        if key == b"info":
            return start, at
    raise AssertionError("no info dictionary")


def run(tool, out, *extra):
    result = subprocess.run([sys.executable, tool, "--scale", "tiny", "--out", out, *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert result.returncode == 0, result.stdout
    return result.stdout


def check_package(out, announce, webseed):
    with open(os.path.join(out, "manifest.json")) as f:
        manifest = json.load(f)
    assert [entry["name"] for entry in manifest["files"]] == NAMES
    md5sum = subprocess.run(["md5sum"] + NAMES, cwd=out, stdout=subprocess.PIPE, text=True, check=True).stdout
    sums = {line.split()[1]: line.split()[0] for line in md5sum.splitlines()}
    total = 0
    for entry in manifest["files"]:
        path = os.path.join(out, entry["name"])
        size = os.path.getsize(path)
        total += size
        assert entry["size"] == size, entry
        assert entry["md5"] == sums[entry["name"]], (entry, sums)
        with open(os.path.join(out, entry["torrent"]), "rb") as f:
            raw = f.read()
        meta, end = bdecode(raw)
        assert end == len(raw)
        info = meta[b"info"]
        start, stop = info_span(raw)
        assert hashlib.sha1(raw[start:stop]).hexdigest() == entry["info_hash"], entry
        assert info[b"name"].decode() == entry["name"]
        assert info[b"length"] == size
        piece = info[b"piece length"]
        assert piece == entry["piece_length"] and piece <= 4 << 20 and piece % 16384 == 0, piece
        pieces = info[b"pieces"]
        with open(path, "rb") as f:
            data = f.read()
        count = (size + piece - 1) // piece
        assert len(pieces) == 20 * count, (entry["name"], len(pieces), count)
        for i in range(count):
            assert hashlib.sha1(data[i * piece:(i + 1) * piece]).digest() == pieces[20 * i:20 * i + 20], (entry["name"], i)
        assert meta.get(b"announce", b"").decode() == announce
        url_list = meta.get(b"url-list", b"")
        url_list = url_list[0] if isinstance(url_list, list) else url_list
        assert url_list.decode() == webseed
    assert 2 << 20 < total < 16 << 20, total
    sizes = {entry["name"]: entry["size"] for entry in manifest["files"]}
    assert sizes["Data30001.cab"] == sizes["Data30002.cab"], "the two volumes are equal in size, as in the real package"
    return manifest


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="make-package-test.") as tmp:
        first = os.path.join(tmp, "a")
        second = os.path.join(tmp, "b")
        announce, webseed = "http://127.0.0.2:6969/announce", "http://127.0.0.2:8080/300/"
        run(tool, first, "--announce", announce, "--webseed", webseed)
        a = check_package(first, announce, webseed)

        # Same arguments, another folder: the same bytes and info hashes.
        run(tool, second, "--announce", announce, "--webseed", webseed)
        b = check_package(second, announce, webseed)
        assert a["files"] == b["files"]

        # A different seed gives different contents.
        third = os.path.join(tmp, "c")
        run(tool, third, "--seed", "7")
        with open(os.path.join(third, "manifest.json")) as f:
            c = json.load(f)
        assert all(x["md5"] != y["md5"] for x, y in zip(a["files"], c["files"]))

        # Re-running reuses matching files; a damaged file is written again.
        stamps = {name: os.stat(os.path.join(first, name)).st_mtime_ns for name in NAMES}
        with open(os.path.join(first, "Data300.zip"), "r+b") as f:
            f.seek(12345)
            f.write(b"X")
        log = run(tool, first, "--announce", announce, "--webseed", webseed)
        assert "Data300.zip: writing" in log, log
        for name in ("Talvora300.exe", "Data30001.cab", "Data30002.cab"):
            assert f"{name}: reused" in log, log
            assert os.stat(os.path.join(first, name)).st_mtime_ns == stamps[name]
        assert check_package(first, announce, webseed)["files"] == a["files"]

        # Other tracker settings remake the torrents but keep the data.
        log = run(tool, first)
        assert log.count("reused") == 4 and log.count("making torrent") == 4, log
        check_package(first, "", "")
    print("make-package: ok")


if __name__ == "__main__":
    main()
