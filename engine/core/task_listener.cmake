# The shared listener: the handshake sniffing of accepted connections (with
# the accepting side of the obfuscated handshake), the pending list, the
# published address and LAN discovery (its datagram codec and socket). The
# task takes its own connections and LAN peers.
zl_library(zl_core_listener SOURCES
  incoming_sniff.cpp
  lan_datagram.cpp
  lan_discovery.cpp
  mse_accept.cpp
  shared_listener.cpp
  LIBS zl_base zl_net_socket zl_net_bt_wire zl_meta_digest OpenSSL::Crypto)
target_sources(zl_core_task PRIVATE
  engine_listener.cpp
  task_incoming.cpp)
target_link_libraries(zl_core_task PUBLIC zl_core_listener)
# Serving: LAN discovery on or off, serve-only tasks, the check's progress.
target_sources(zl_core_task PRIVATE
  task_check_progress.cpp
  engine_api_listen.cpp)
