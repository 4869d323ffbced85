# Peer management of a task: candidate list and admission, retry back-off,
# connectors within their limits, server rotation, source penalties and
# health, peer order with dropping, pruning and choking, pooled peers and the
# task's BitTorrent identity.
zl_library(zl_core_peers SOURCES
  candidate_list.cpp
  retry_backoff.cpp
  peer_connector.cpp
  server_rotation.cpp
  source_states.cpp
  source_penalty.cpp
  source_health.cpp
  peer_order.cpp
  peer_identity.cpp
  LIBS zl_base zl_core_sched zl_core_ipfilter zl_net_socket zl_meta_digest)
