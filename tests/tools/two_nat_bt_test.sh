#!/usr/bin/env bash
# A BitTorrent download between two hosts behind two NATs. Namespaces (all
# named zlrdv-PID-*, made and deleted here):
#
#   hostA 10.1.0.2 -- natA 198.18.0.10 --+
#   hostB 10.2.0.2 -- natB 198.18.0.20 --+-- pub: bridge 198.18.0.1: zlrendezvous,
#   hostC 10.3.0.2 -- natC 198.18.0.30 --+   opentracker, a tracker that lists peer ids
#                                            (peer_id_tracker.py)
#
# Each NAT masquerades and drops unsolicited new inbound traffic, as a home
# router does; natC masquerades fully-random (a symmetric NAT). hostA runs
# `zlfetch seed --rendezvous`; hostB runs `zlfetch get --rendezvous` twice:
# with opentracker (peers by address only: the UDP stream is reached through
# the placeholder of the address) and with the peer-id tracker, to which the
# seed announced its handshake peer id over UDP (the stream is reached by the
# seed's real node id, bytes 8..15 of that peer id). TCP cannot pass either NAT, so the file comes over the UDP
# stream after hole punching, and is compared by SHA-256. Meanwhile hostC's get
# cannot reach the seed at all: it gives the seed up after the connect timeout
# and ends, when stopped, with the not-complete code, nothing downloaded and
# nothing left running.
#
#   two_nat_bt_test.sh ZLFETCH ZLRENDEZVOUS    (exit 77: skipped, no namespaces here)
set -uo pipefail
zlfetch=${1:?zlfetch}
rendezvous=${2:?zlrendezvous}
here=$(cd "$(dirname "$0")" && pwd)
tag=zlrdv-$$
pub=$tag-pub
work=$(mktemp -d)
pids=()
nss=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  # Whatever still runs in our namespaces (after a failure) goes with them.
  for ns in "${nss[@]}"; do
    for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" != 0 ] || ! command -v nft >/dev/null || ! command -v opentracker >/dev/null ||
   ! ip netns add "$pub" 2>/dev/null; then
  echo "SKIP: network namespaces cannot be made here (root, iproute2, nftables and opentracker are needed)"
  exit 77
fi
nss+=("$pub")
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out; do echo "--- $f"; tail -n 12 "$f" | cut -c1-400; done
  exit 1
}
nsx() { ip netns exec "$@"; }
# In the background, as the process itself (ip execs it): $! is its pid.
spawn() { ip netns exec "$@" & pids+=($!); }
py=/usr/bin/python3

nsx $pub ip link set lo up
nsx $pub ip link add br0 type bridge
nsx $pub ip addr add 198.18.0.1/24 dev br0
nsx $pub ip link set br0 up
site() {  # site NAME WAN_ADDR LAN_NET [fully-random]: a host behind its NAT
  local nat=$tag-nat$1 host=$tag-host$1 wan=$2 net=$3 random=${4:-}
  ip netns add "$nat"; nss+=("$nat")
  ip netns add "$host"; nss+=("$host")
  nsx "$nat" ip link set lo up
  nsx "$host" ip link set lo up
  ip link add "rdv$1$$" type veth peer name wan netns "$nat"
  ip link set "rdv$1$$" netns $pub
  nsx $pub ip link set "rdv$1$$" master br0 up
  nsx "$nat" ip addr add "$wan/24" dev wan
  nsx "$nat" ip link set wan up
  nsx "$nat" ip link add lan type veth peer name eth0 netns "$host"
  nsx "$nat" ip addr add "$net.1/24" dev lan
  nsx "$nat" ip link set lan up
  nsx "$host" ip addr add "$net.2/24" dev eth0
  nsx "$host" ip link set eth0 up
  nsx "$host" ip route add default via "$net.1"
  nsx "$nat" sysctl -qw net.ipv4.ip_forward=1
  nsx "$nat" nft -f - <<NFT
table inet zlfilter {
  chain input { type filter hook input priority 0; policy accept; iifname "wan" ct state new drop; }
  chain forward { type filter hook forward priority 0; policy accept; iifname "wan" ct state new drop; }
}
table ip zlnat {
  chain postrouting { type nat hook postrouting priority 100; policy accept; oifname "wan" masquerade $random; }
}
NFT
}
site A 198.18.0.10 10.1.0
site B 198.18.0.20 10.2.0
site C 198.18.0.30 10.3.0 fully-random
hostA=$tag-hostA hostB=$tag-hostB hostC=$tag-hostC

# The payload (2 MiB in 256 KiB pieces), its torrent and info hash.
mkdir -p "$work/seed" "$work/trk"
head -c 2097152 /dev/urandom >"$work/seed/payload.bin"
info_hash=$($py - "$work/seed/payload.bin" "$work/t.torrent" <<'PY'
import hashlib, sys
def be(v):
    if isinstance(v, int): return b"i%de" % v
    if isinstance(v, bytes): return b"%d:%s" % (len(v), v)
    if isinstance(v, str): return be(v.encode())
    return b"d" + b"".join(be(k) + be(v[k]) for k in sorted(v)) + b"e"
data = open(sys.argv[1], "rb").read()
piece = 262144
info = {"name": "payload.bin", "length": len(data), "piece length": piece,
        "pieces": b"".join(hashlib.sha1(data[i:i + piece]).digest() for i in range(0, len(data), piece))}
open(sys.argv[2], "wb").write(be({"info": info}))
print(hashlib.sha1(be(info)).hexdigest())
PY
)
[ ${#info_hash} = 40 ] || fail "no torrent made"
echo "$info_hash" >"$work/trk/whitelist.txt"
chmod 755 "$work" "$work/trk"
sent=$(sha256sum <"$work/seed/payload.bin" | cut -d' ' -f1)

spawn $pub "$rendezvous" --bind 198.18.0.1 --port 7000 >"$work/rendezvous.out" 2>&1
spawn $pub opentracker -i 198.18.0.1 -p 6969 -P 6969 -d "$work/trk" -u nobody -w /whitelist.txt >"$work/opentracker.out" 2>&1
spawn $pub $py "$here/peer_id_tracker.py" 198.18.0.1 6970 >"$work/idtracker.out" 2>&1
open_tracker=http://198.18.0.1:6969/announce
id_tracker=http://198.18.0.1:6970/announce
id_tracker_udp=udp://198.18.0.1:6970/announce  # the seed's handshake peer id goes there
up() { nsx $pub bash -c "exec 3<>/dev/tcp/198.18.0.1/$1" 2>/dev/null; }
for _ in $(seq 100); do up 6969 && up 6970 && break; sleep 0.05; done

# The seed behind natA, announcing to both trackers.
spawn $hostA "$zlfetch" seed "$work/t.torrent" --dir "$work/seed" --bind 10.1.0.2 --port 6881 \
    --rendezvous 198.18.0.1:7000 --tracker "$open_tracker" --tracker "$id_tracker_udp" --no-trackers >"$work/seed.out" 2>&1
seed=$!
for _ in $(seq 200); do grep -q "^announce udp 198.18.0.10:6881" "$work/idtracker.out" && break; sleep 0.05; done
grep -q "^announce udp 198.18.0.10:6881" "$work/idtracker.out" || fail "the seed did not announce"
sleep 0.3  # its announce to opentracker went out at the same time

# Without a hole, hostB reaches nothing behind natA over TCP.
if nsx $hostB timeout 2 bash -c 'echo x >/dev/tcp/198.18.0.10/6881' 2>/dev/null; then
  fail "natA let an unsolicited TCP connection in"
fi

# hostC behind the symmetric NAT, alongside: stopped once it has given the
# seed up (after the UDP stream's connect timeout, 30 s).
mkdir -p "$work/getC"
spawn $hostC "$zlfetch" get "$work/t.torrent" --dir "$work/getC" --bind 10.3.0.2 --port 6883 \
    --rendezvous 198.18.0.1:7000 --tracker "$open_tracker" --no-trackers --json >"$work/symmetric.out" 2>&1
symmetric=$!

get() {  # get NAME PORT TRACKER
  mkdir -p "$work/get-$1"
  nsx $hostB timeout --preserve-status -s TERM 30 "$zlfetch" get "$work/t.torrent" --dir "$work/get-$1" --bind 10.2.0.2 --port "$2" \
      --rendezvous 198.18.0.1:7000 --tracker "$3" --no-trackers --json >"$work/$1.out" 2>&1
  local status=$?
  echo "== $1: get exit $status, $(grep -c . "$work/$1.out") lines"
  [ $status = 0 ] || fail "$1: the download did not complete (exit $status)"
  local got
  got=$(sha256sum <"$work/get-$1/payload.bin" | cut -d' ' -f1)
  [ "$got" = "$sent" ] || fail "$1: the bytes differ"
  grep -q '"final": true' "$work/$1.out" || fail "$1: no final line"
  grep '"final": true' "$work/$1.out" | grep -q '"bt_bytes": 2097152' || fail "$1: not all from the peer"
}
# The connect requests hostB sent from the port of each run.
requests() { grep "^connect-request .* at 198.18.0.20:$1: [1-9][0-9]* of" "$work/rendezvous.out"; }
get by-placeholder 6882 "$open_tracker"
requests 6882 | grep -q '([1-9][0-9]* by placeholder)' || fail "by-placeholder: the seed was not found by placeholder"
get by-id 6884 "$id_tracker"
requests 6884 | grep -q '(0 by placeholder)' || fail "by-id: the seed was not found by its node id"
requests 6884 | grep -q '([1-9][0-9]* by placeholder)' && fail "by-id: the seed was asked for by placeholder"

# The first status line that lists the seed among the failing sources: its elapsed_s, or nothing.
gave_up() {
  python3 -c 'import json, sys
for line in open(sys.argv[1], errors="replace"):
    if not line.startswith("{"): continue
    o = json.loads(line)
    if any(f["source"] == "btnode://198.18.0.10:6881" for f in o.get("failing", [])):
        print(o["elapsed_s"]); break' "$work/symmetric.out"
}
for _ in $(seq 450); do [ -n "$(gave_up)" ] && break; sleep 0.1; done
[ -n "$(gave_up)" ] || fail "symmetric: the seed was never given up"
kill -TERM $symmetric
wait $symmetric
status=$?
echo "== symmetric: gave the seed up after $(gave_up) s, get exit $status"
[ $status = 3 ] || fail "symmetric: expected the not-complete exit code 3, got $status"
grep '"final": true' "$work/symmetric.out" | grep -q '"bytes_done": 0,' || fail "symmetric: bytes arrived"
[ ! -e "$work/getC/payload.bin" ] || fail "symmetric: the file was completed"
grep -q "connect-request .* at 198.18.0.30:" "$work/rendezvous.out" || fail "symmetric: the UDP stream was not tried"
[ -z "$(ip netns pids $hostC)" ] || fail "symmetric: processes left in hostC"

kill -TERM $seed
wait $seed
echo "== seed exit $?"
grep -q '^stopped: uploaded' "$work/seed.out" || fail "the seed did not stop cleanly"
for ns in $hostA $hostB $hostC; do [ -z "$(ip netns pids "$ns")" ] || fail "processes left in $ns"; done
echo "two NATs: the file came over the UDP stream by placeholder and by id; a symmetric NAT gives up cleanly"
