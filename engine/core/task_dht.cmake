# The engine's DHT node, started with the first task while the DHT switch is
# on, and a task's DHT step (a BitTorrent lookup for its info hash).
zl_library(zl_core_task_dht SOURCES task_dht_step.cpp LIBS zl_udp_dht)
target_sources(zl_core_task PRIVATE dht_service.cpp)
target_link_libraries(zl_core_task PUBLIC zl_udp_dht zl_core_task_dht)
