#!/usr/bin/env bash
# A real UPnP Internet gateway (miniupnpd, nftables back end) in network
# namespaces, for the port-mapping test; see GATEWAY.md beside this file.
#
#   gateway.sh start DIR NAME    # namespaces NAME-gw, NAME-lan, NAME-wan; exit 77 when they cannot be made
#   gateway.sh stop DIR NAME     # stops miniupnpd and deletes the namespaces (safe to repeat)
#
# LAN 10.77.0.0/24 (gateway .1, client .2); WAN 11.0.0.0/24 between two private
# namespaces with no link to the host (miniupnpd refuses a reserved WAN address).
set -u
cmd=${1:?start|stop}; dir=${2:?DIR}; name=${3:?NAME}
gw=$name-gw; lan=$name-lan; wan=$name-wan
# Interface names are limited to 15 characters: derive short ones from a hash of NAME.
tag=$(printf '%s' "$name" | cksum | cut -c1-6)

stop() {
  if [ -f "$dir/miniupnpd.pid.own" ]; then
    kill "$(cat "$dir/miniupnpd.pid.own")" 2>/dev/null
    rm -f "$dir/miniupnpd.pid.own"
  fi
  for ns in "$gw" "$lan" "$wan"; do ip netns del "$ns" 2>/dev/null; done
  return 0
}

start() {
  command -v miniupnpd >/dev/null || { echo "miniupnpd is not installed (scripts/setup)"; exit 77; }
  command -v nft >/dev/null || { echo "nft is not installed"; exit 77; }
  mkdir -p "$dir"
  ip netns add "$gw" 2>/dev/null || { echo "cannot create network namespaces here"; exit 77; }
  set -e
  ip netns add "$lan"; ip netns add "$wan"
  ip link add "g${tag}l" netns "$gw" type veth peer name lan0 netns "$lan"
  ip link add "g${tag}w" netns "$gw" type veth peer name wan0 netns "$wan"
  ip -n "$gw" addr add 10.77.0.1/24 dev "g${tag}l"
  ip -n "$gw" addr add 11.0.0.2/24 dev "g${tag}w"
  ip -n "$lan" addr add 10.77.0.2/24 dev lan0
  ip -n "$wan" addr add 11.0.0.1/24 dev wan0
  for ns in "$gw" "$lan" "$wan"; do ip -n "$ns" link set lo up; done
  ip -n "$gw" link set "g${tag}l" up; ip -n "$gw" link set "g${tag}w" up
  ip -n "$lan" link set lan0 up; ip -n "$wan" link set wan0 up
  ip -n "$lan" route add default via 10.77.0.1    # also carries the SSDP search out of lan0
  ip -n "$gw" route add default via 11.0.0.1
  ip netns exec "$gw" sysctl -qw net.ipv4.ip_forward=1
  # Debian's package ships no working nft set-up: these are the chains miniupnpd fills.
  cat > "$dir/miniupnpd.nft" <<NFT
table inet filter {
    chain forward {
        type filter hook forward priority 0; policy drop;
        ct state established,related accept
        iifname "g${tag}l" oifname "g${tag}w" accept
        jump miniupnpd
    }
    chain miniupnpd {
    }
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        oifname "g${tag}w" masquerade
        jump postrouting_miniupnpd
    }
    chain prerouting_miniupnpd {
    }
    chain postrouting_miniupnpd {
    }
}
NFT
  ip netns exec "$gw" nft -f "$dir/miniupnpd.nft"
  cat > "$dir/miniupnpd.conf" <<CONF
ext_ifname=g${tag}w
listening_ip=g${tag}l
port=5000
enable_upnp=yes
enable_natpmp=no
ipv6_disable=yes
secure_mode=yes
system_uptime=yes
notify_interval=60
clean_ruleset_interval=600
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
friendly_name=Zephyrloader test gateway
model_number=2.3.1
serial=ZLTM0001
lease_file=$dir/upnp.leases
upnp_table_name=filter
upnp_nat_table_name=filter
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 10.77.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  ip netns exec "$gw" miniupnpd -f "$dir/miniupnpd.conf" -d -P "$dir/miniupnpd.pid" > "$dir/miniupnpd.log" 2>&1 &
  echo $! > "$dir/miniupnpd.pid.own"
  set +e
  for _ in $(seq 100); do
    ip netns exec "$gw" ss -ltn 2>/dev/null | grep -q ':5000 ' && { echo "gateway up"; exit 0; }
    sleep 0.05
  done
  echo "miniupnpd did not start:"; cat "$dir/miniupnpd.log"
  stop; exit 1
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR NAME" >&2; exit 2 ;;
esac
