# The engine's DHT node, started with the first task while the DHT switch is
# on, and a task's DHT step (a BitTorrent lookup for its info hash, every 8 s).
zl_library(zl_core_task_dht SOURCES task_dht_step.cpp LIBS zl_udp_dht)
target_sources(zl_core_task PRIVATE dht_service.cpp task_dht_view.cpp task_peer_driver_dht.cpp)
target_link_libraries(zl_core_task PUBLIC zl_udp_dht zl_core_task_dht)
