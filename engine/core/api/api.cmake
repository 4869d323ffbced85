# The engine context (clock, locks, registry, switches and the process-wide
# services: UDP server and stream, shared listener, DHT node) and the flat
# engine interface.
target_sources(zl_core_task PRIVATE
  engine_context.cpp
  task_registry.cpp
  duplicate_rule.cpp
  dht_service.cpp
  engine_udp_stream.cpp
  engine_listener.cpp
  engine_api_engine.cpp
  engine_api_create.cpp
  engine_api_task.cpp
  engine_api_disk.cpp
  engine_api_default.cpp
  engine_api_peers.cpp
  engine_api_listen.cpp)
