# The DHT: node ids and KRPC messages, write tokens, the routing table with its
# node cache, the peer store, lookups, and the DHT thread.
zl_library(zl_udp_dht SOURCES
  kad_id.cpp
  kad_node.cpp
  kad_messages.cpp
  kad_tokens.cpp
  kad_routing_table.cpp
  kad_peer_store.cpp
  kad_lookup.cpp
  kademlia.cpp
  LIBS zl_base_runtime zl_meta_bencode zl_meta_digest zl_meta_storage zl_net_socket)
