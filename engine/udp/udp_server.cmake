# The engine's UDP server: its start-up record, the demultiplexer between the
# DHT and the UDP stream transport, and the server thread with its socket.
zl_library(zl_udp_demux SOURCES udp_demux.cpp)
zl_library(zl_udp_server SOURCES
  udp_server_config.cpp
  udp_server.cpp
  LIBS zl_udp_demux zl_base_runtime zl_net_udp_socket zl_net_socket zl_meta_buffer_pool)
