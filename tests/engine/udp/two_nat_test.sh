#!/usr/bin/env bash
# Two engines behind two NATs meet through the rendezvous server and punched
# holes. Namespaces (all named zl-us-*, made and deleted here):
#
#   hostA 10.1.0.2 -- natA 198.18.0.10 --+
#                                        +-- pub: bridge, zlrendezvous on 198.18.0.1
#   hostB 10.2.0.2 -- natB 198.18.0.20 --+
#
# Each NAT masquerades and drops unsolicited new inbound traffic, as a home
# router does. hostB listens, hostA connects to it (by node id, then by the
# placeholder of its address) and sends 4 MiB, compared by SHA-256; hostA
# alone cannot reach hostB without the hole. Then natA becomes symmetric
# (masquerade fully-random): the connect gives up after its timeout and
# nothing is left open on either side.
#
#   two_nat_test.sh PEER ZLRENDEZVOUS    (exit 77: skipped, no namespaces here)
set -uo pipefail
peer=${1:?udp_stream_peer}
rendezvous=${2:?zlrendezvous}
tag=zl-us-$$
pub=$tag-pub natA=$tag-natA natB=$tag-natB hostA=$tag-hostA hostB=$tag-hostB
work=$(mktemp -d)
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  # A job started through a shell function is a subshell: what it ran inside a
  # namespace outlives its pid, and would outlive the deleted namespace too.
  for ns in $hostA $hostB $natA $natB $pub; do
    for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" != 0 ] || ! command -v nft >/dev/null || ! ip netns add "$pub" 2>/dev/null; then
  echo "SKIP: network namespaces cannot be made here (root, iproute2 and nftables are needed)"
  exit 77
fi
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "--- $f"; cat "$f"; done; exit 1; }
nsx() { ip netns exec "$@"; }

for ns in $natA $natB $hostA $hostB; do ip netns add "$ns"; done
for ns in $pub $natA $natB $hostA $hostB; do nsx "$ns" ip link set lo up; done
nsx $pub ip link add br0 type bridge
nsx $pub ip addr add 198.18.0.1/24 dev br0
nsx $pub ip link set br0 up
wire() {  # wire NAT SIDE WAN_ADDR LAN_NET HOST
  local nat=$1 side=$2 wan=$3 net=$4 host=$5
  ip link add "us$side$$w" type veth peer name wan netns "$nat"
  ip link set "us$side$$w" netns $pub
  nsx $pub ip link set "us$side$$w" master br0 up
  nsx "$nat" ip addr add "$wan/24" dev wan
  nsx "$nat" ip link set wan up
  nsx "$nat" ip link add lan type veth peer name eth0 netns "$host"
  nsx "$nat" ip addr add "$net.1/24" dev lan
  nsx "$nat" ip link set lan up
  nsx "$host" ip addr add "$net.2/24" dev eth0
  nsx "$host" ip link set eth0 up
  nsx "$host" ip route add default via "$net.1"
  nsx "$nat" sysctl -qw net.ipv4.ip_forward=1
}
wire $natA a 198.18.0.10 10.1.0 $hostA
wire $natB b 198.18.0.20 10.2.0 $hostB
nat_rules() {  # nat_rules NAT [fully-random]
  nsx "$1" nft -f - <<NFT
flush ruleset
table inet zlfilter {
  chain input { type filter hook input priority 0; policy accept; iifname "wan" ct state new drop; }
  chain forward { type filter hook forward priority 0; policy accept; iifname "wan" ct state new drop; }
}
table ip zlnat {
  chain postrouting { type nat hook postrouting priority 100; policy accept; oifname "wan" masquerade ${2:-}; }
}
NFT
}
nat_rules $natA
nat_rules $natB

nsx $pub "$rendezvous" --bind 198.18.0.1 --port 7000 >"$work/rendezvous.out" 2>&1 &
pids+=($!)
sleep 0.3

# Without a hole, hostA reaches nothing behind natB.
if nsx $hostA timeout 2 bash -c 'echo x >/dev/tcp/198.18.0.20/6881' 2>/dev/null; then fail "natB let an unsolicited TCP connection in"; fi

run_pair() {  # run_pair NAME PORT TARGET [expect-fail]
  # A port of its own per run, so that no NAT mapping of an earlier run helps.
  local name=$1 port=$2 target=$3 expect=${4:-}
  nsx $hostB "$peer" --bind 10.2.0.2 --port "$port" --rendezvous 198.18.0.1:7000 --id b1b2b3b4b5b6b7b8 \
     --listen --connect-timeout 8 --timeout "$([ "$expect" = expect-fail ] && echo 13 || echo 25)" >"$work/$name-b.out" 2>&1 &
  local b=$!
  pids+=($b)
  sleep 0.5
  nsx $hostA "$peer" --bind 10.1.0.2 --port "$port" --rendezvous 198.18.0.1:7000 --id a1a2a3a4a5a6a7a8 \
     --connect "198.18.0.20:$port" --target "$target" --bytes 4194304 --connect-timeout 8 --timeout 40 >"$work/$name-a.out" 2>&1
  local a_status=$?
  wait $b
  local b_status=$?
  echo "== $name: connector exit $a_status, listener exit $b_status"
  sed 's/^/   A: /' "$work/$name-a.out"
  sed 's/^/   B: /' "$work/$name-b.out"
  if [ "$expect" = expect-fail ]; then
    [ $a_status = 3 ] || fail "$name: the connect should have failed"
    grep -q '^connect failed 10060' "$work/$name-a.out" || fail "$name: not a timeout"
    grep -q '^left-open no' "$work/$name-a.out" || fail "$name: the stream was left open"
    grep -q '^accepted none' "$work/$name-b.out" || fail "$name: the listener accepted something"
    grep -q '^punch-list 0' "$work/$name-b.out" || fail "$name: punches still pending"
    return
  fi
  [ $a_status = 0 ] && [ $b_status = 0 ] || fail "$name: a side failed"
  grep -q '^behind-nat yes' "$work/$name-a.out" && grep -q '^behind-nat yes' "$work/$name-b.out" || fail "$name: not behind NAT"
  grep -q '^remote-id b1b2b3b4b5b6b7b8' "$work/$name-a.out" || fail "$name: the real id was not learnt"
  local sent got
  sent=$(sed -n 's/^sha256 //p' "$work/$name-a.out")
  got=$(sed -n 's/^sha256 //p' "$work/$name-b.out")
  [ -n "$sent" ] && [ "$sent" = "$got" ] || fail "$name: the bytes differ"
  grep -q '^received 4194304' "$work/$name-b.out" || fail "$name: short"
}

run_pair by-id 6881 b1b2b3b4b5b6b7b8
run_pair by-placeholder 6882 placeholder
nat_rules $natA fully-random
run_pair symmetric 6883 b1b2b3b4b5b6b7b8 expect-fail
echo "two NATs: hole punched by id and by placeholder; a symmetric NAT gives up cleanly"
