# The engine's DHT node, started with the first task while the DHT switch is on.
target_sources(zl_core_task PRIVATE dht_service.cpp)
target_link_libraries(zl_core_task PUBLIC zl_udp_dht)
