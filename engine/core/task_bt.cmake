# The BitTorrent half of a task: its peers' view of the piece map, switches
# and identity, and the node connector, piece choice, uploads and choking.
target_sources(zl_core_task PRIVATE
  task_bt_views.cpp
  task_bt_peers.cpp
  source_health.cpp
  engine_api_peers.cpp)
target_link_libraries(zl_core_task PUBLIC zl_net_bt_peer)
