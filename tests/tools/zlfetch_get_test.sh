#!/usr/bin/env bash
# zlfetch get: complete data exits 0 at once, a bad torrent exits 2 with one
# line, a stop signal ends a download that cannot progress cleanly with its
# resume file kept, the next run recovers the task from it, and a download
# stopped on a slow mirror finishes from a good one.
set -u
zlfetch=$1
fail() { echo "FAIL: $*"; exit 1; }
command -v mktorrent >/dev/null || fail "mktorrent is not installed"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 300000 /dev/urandom > pkg.bin
mktorrent -l 15 -o pkg.torrent pkg.bin >/dev/null || fail "mktorrent"
# A loopback port nobody listens on: the task cannot progress.
dead=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
src="http://127.0.0.1:$dead/pkg.bin"

# 1. The folder already holds the complete file.
mkdir full && cp pkg.bin full/
out=$(timeout 20 "$zlfetch" get pkg.torrent --dir full --source "$src" --json) || fail "complete folder exited $?"
last=$(printf '%s\n' "$out" | tail -n 1)
[[ $last == *'"status": "complete"'* && $last == *'"final": true'* && $last == *'"bytes_total": 300000'* ]] ||
    fail "final object: $last"
cmp -s pkg.bin full/pkg.bin || fail "complete file was changed"

# 2. A torrent that cannot be read: exit 2, one line on stderr.
echo "not a torrent" > bad.torrent
timeout 20 "$zlfetch" get bad.torrent --dir bad --source "$src" >out.txt 2>err.txt
rc=$?
[ $rc -eq 2 ] || fail "bad torrent exited $rc"
[ "$(wc -l < err.txt)" -eq 1 ] || fail "bad torrent printed: $(cat err.txt)"
timeout 20 "$zlfetch" get missing.torrent --dir bad --source "$src" 2>/dev/null; [ $? -eq 2 ] || fail "missing torrent"
timeout 20 "$zlfetch" get pkg.torrent --dir bad 2>/dev/null; [ $? -eq 2 ] || fail "no source must exit 2"
timeout 20 "$zlfetch" get pkg.torrent --dir bad --source "$src" --limit x 2>/dev/null; [ $? -eq 2 ] || fail "bad --limit"
# The engine takes speed limits up to 32766 KiB/s and reads anything above as
# "no limit": such a value is refused, not silently dropped.
for opt in "--limit 32767" "--upload-limit 40000" "--limit 2147483647"; do
    err=$(timeout 20 "$zlfetch" get pkg.torrent --dir bad --source "$src" $opt 2>&1 >/dev/null)
    rc=$?
    [ $rc -eq 2 ] || fail "$opt exited $rc"
    [[ $err == *"${opt%% *}"*32766* ]] || fail "$opt printed '$err'"
done

# 3. SIGINT during a download that cannot progress: exit 3 "stopped", resume file kept.
stop_run() {  # $1: folder; prints the JSON lines to $1.json, the exit status to $1.rc
    "$zlfetch" get pkg.torrent --dir "$1" --source "$src" --limit 500 --json >"$1.json" 2>"$1.err" &
    local pid=$! started=$SECONDS
    sleep 1.5
    kill -INT $pid
    while kill -0 $pid 2>/dev/null; do
        [ $((SECONDS - started)) -lt 10 ] || { kill -KILL $pid; fail "no exit within seconds of SIGINT"; }
        sleep 0.1
    done
    wait $pid
    echo $? > "$1.rc"
}
stop_run part
[ "$(cat part.rc)" -eq 3 ] || fail "stopped run exited $(cat part.rc)"
grep -q '^zlfetch get: stopped$' part.err || fail "stderr: $(cat part.err)"
[ -s part/pkg.bin.zlinfo ] || fail "no resume file after the stop"
grep -q '"resumed": false' part.json || fail "first run claims to resume"

# 4. The same command again recovers the task from its resume file.
stop_run part
[ "$(cat part.rc)" -eq 3 ] || fail "second stopped run exited $(cat part.rc)"
grep -q '"resumed": true' part.json || fail "second run did not recover: $(cat part.json)"

# 5. From real mirrors: stopped part-way on a slow mirror, finished from a good one.
here=$(cd "$(dirname "$0")" && pwd)
exec 3> >(exec python3 "$here/../harness/mirrors.py" --root "$work" --mirrors good,slow --slow-rate 50k \
          --workdir "$work/mirrors-work" >mirrors.json)
for _ in $(seq 100); do [ -s mirrors.json ] && break; sleep 0.1; done
[ -s mirrors.json ] || fail "the mirrors did not start"
good=$(python3 -c 'import json; print(json.load(open("mirrors.json"))["good"])')
slow=$(python3 -c 'import json; print(json.load(open("mirrors.json"))["slow"])')
src=${slow}pkg.bin
stop_run mirror
[ "$(cat mirror.rc)" -eq 3 ] || fail "stop on the slow mirror exited $(cat mirror.rc)"
timeout 30 "$zlfetch" get pkg.torrent --dir mirror --source "${good}pkg.bin" --json >mirror.json 2>mirror.err ||
    fail "finishing from the good mirror exited $?: $(cat mirror.err)"
last=$(tail -n 1 mirror.json)
[[ $last == *'"status": "complete"'* && $last == *'"resumed": true'* ]] || fail "finished run: $last"
cmp -s pkg.bin mirror/pkg.bin || fail "the downloaded file differs"
# nginx's access log (port, status, bytes sent): the slow mirror served the
# first run, and the good one only what that run had not kept.
sent() {  # sent URL: body bytes the mirror at URL sent, once nginx has logged them
    local port=${1##*:}; port=${port%/}
    awk -v p="$port" '$1 == p {s += $3} END {print s + 0}' mirrors-work/access.log
}
for _ in $(seq 30); do [ "$(sent "$slow")" -gt 0 ] && break; sleep 0.1; done
slow_sent=$(sent "$slow") good_sent=$(sent "$good")
[ "$slow_sent" -gt 0 ] || fail "the slow mirror sent nothing in the stopped run"
[ "$good_sent" -gt 0 ] || fail "the good mirror sent nothing"
# What the stopped run received is kept but for the pieces it had not completed (two 32 KiB pieces at most).
[ "$good_sent" -le $((300000 - slow_sent + 65536)) ] ||
    fail "the resumed run fetched $good_sent bytes again; the slow mirror had sent $slow_sent of 300000"
exec 3>&-  # the mirrors stop when their stdin closes
echo "zlfetch get: ok (mirrors: the slow one sent $slow_sent bytes before the stop, the good one $good_sent after)"
