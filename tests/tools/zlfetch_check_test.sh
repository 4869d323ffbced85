#!/usr/bin/env bash
# zlfetch check's exit codes on real files: 0 when the folder holds every
# piece, 1 when pieces are missing or wrong (and which), 2 for an error (bad
# or missing torrent, missing folder, missing options). The check leaves the
# folder as it found it.
set -u
zlfetch=$1
fail() { echo "FAIL: $*"; exit 1; }
command -v mktorrent >/dev/null || fail "mktorrent is not installed"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# 10 pieces of 32 KiB and a short last one.
head -c 335000 /dev/urandom > pkg.bin
mktorrent -l 15 -o pkg.torrent pkg.bin >/dev/null || fail "mktorrent"

check() {  # check EXPECTED-EXIT LABEL ARGS...: runs zlfetch check, output in out.txt / err.txt
    local want=$1 label=$2; shift 2
    timeout 30 "$zlfetch" check "$@" >out.txt 2>err.txt
    local rc=$?
    [ "$rc" -eq "$want" ] || fail "$label: exit $rc, want $want; out: $(cat out.txt); err: $(cat err.txt)"
}
state() { (cd "$1" && find . -printf '%p %s %m\n' | sort && find . -type f -exec md5sum {} + | sort); }

# 0: complete, in full and in the quick check.
mkdir full && cp pkg.bin full/
before=$(state full)
check 0 "complete" pkg.torrent --dir full
grep -qx 'pieces: 11 / 11' out.txt || fail "complete: $(cat out.txt)"
grep -qx 'missing: none' out.txt || fail "complete: $(cat out.txt)"
check 0 "complete, quick" pkg.torrent --dir full --quick
check 0 "complete, json" pkg.torrent --dir full --json
grep -q '"complete": true' out.txt || fail "complete json: $(cat out.txt)"
[ "$(state full)" = "$before" ] || fail "the check changed the folder"

# 1: not complete. A wrong byte in piece 4, the file cut inside piece 9, no file at all.
mkdir flipped && cp pkg.bin flipped/
printf '\x00' | dd of=flipped/pkg.bin bs=1 seek=$((4 * 32768 + 7)) conv=notrunc status=none
cmp -s pkg.bin flipped/pkg.bin && printf '\x01' | dd of=flipped/pkg.bin bs=1 seek=$((4 * 32768 + 7)) conv=notrunc status=none
before=$(state flipped)
check 1 "a wrong byte" pkg.torrent --dir flipped
grep -qx 'pieces: 10 / 11' out.txt || fail "a wrong byte: $(cat out.txt)"
grep -qx 'missing: 4' out.txt || fail "a wrong byte: $(cat out.txt)"
check 1 "a wrong byte, json" pkg.torrent --dir flipped --json
python3 -c 'import json, sys; d = json.load(open("out.txt")); sys.exit(d["missing"] != [[4, 4]] or d["complete"])' ||
  fail "a wrong byte json: $(cat out.txt)"
[ "$(state flipped)" = "$before" ] || fail "the check changed the folder with the wrong byte"
mkdir cut && head -c $((9 * 32768 + 100)) pkg.bin > cut/pkg.bin
check 1 "a cut file" pkg.torrent --dir cut
grep -qx 'missing: 9-10' out.txt || fail "a cut file: $(cat out.txt)"
mkdir empty
check 1 "no file" pkg.torrent --dir empty
grep -qx 'pieces: 0 / 11' out.txt || fail "no file: $(cat out.txt)"
[ -z "$(ls -A empty)" ] || fail "the check wrote into the empty folder: $(ls -A empty)"

# 2: errors, each with one line on stderr and nothing on stdout.
echo "not a torrent" > bad.torrent
for args in "bad.torrent --dir full" "missing.torrent --dir full" "pkg.torrent --dir nowhere" "pkg.torrent" \
            "--dir full" "pkg.torrent --dir full --bogus"; do
    # shellcheck disable=SC2086
    check 2 "error: $args" $args
    [ ! -s out.txt ] || fail "error: $args printed on stdout: $(cat out.txt)"
    [ "$(wc -l < err.txt)" -eq 1 ] || fail "error: $args: stderr $(cat err.txt)"
done
echo "zlfetch check: ok"
