#!/usr/bin/python3
"""A python3-libtorrent DHT node on a loopback address, for interoperability
tests. Prints "READY <udp port>", then answers stdin commands:
  stats  ->  "STATS name=value ..." with libtorrent's own dht.* counters
  quit   ->  exits (so does the end of stdin)
usage: lt_dht_node.py BIND_ADDRESS [BOOTSTRAP_HOST:PORT]
"""
import sys
import time

import libtorrent as lt


def main():
    bind = sys.argv[1]
    bootstrap = sys.argv[2] if len(sys.argv) > 2 else ""
    session = lt.session({
        "listen_interfaces": bind + ":0",
        "enable_dht": True,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "dht_bootstrap_nodes": bootstrap,  # nothing leaves loopback
        "dht_ignore_dark_internet": False,
        "dht_restrict_routing_ips": False,
        "dht_restrict_search_ips": False,
        "alert_mask": lt.alert.category_t.stats_notification | lt.alert.category_t.dht_notification,
    })
    for _ in range(100):
        if session.is_dht_running() and session.listen_port():
            break
        time.sleep(0.05)
    if bootstrap:
        host, port = bootstrap.rsplit(":", 1)
        session.add_dht_node((host, int(port)))
    print("READY %d" % session.listen_port(), flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command == "quit":
            break
        if command == "stats":
            session.post_session_stats()
            values = None
            for _ in range(100):
                for alert in session.pop_alerts():
                    if isinstance(alert, lt.session_stats_alert):
                        values = alert.values
                if values is not None:
                    break
                time.sleep(0.02)
            pairs = ["%s=%d" % (k, v) for k, v in sorted((values or {}).items()) if k.startswith("dht.")]
            print("STATS " + " ".join(pairs), flush=True)


if __name__ == "__main__":
    main()
