# The task's peer driver: its server and BitTorrent candidates and connectors,
# piece choice, uploads and choking, the end-game takeover by idle servers,
# incoming connections and LAN peers, and its tracker and DHT steps.
target_sources(zl_core_task PRIVATE
  peer_driver.cpp
  peer_driver_trackers.cpp
  peer_driver_dht.cpp
  bt_peers.cpp
  crowd_pieces.cpp
  takeover.cpp
  incoming.cpp)
