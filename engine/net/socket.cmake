# Addresses, name resolution, source URLs and the socket object.
zl_library(zl_net_socket SOURCES
  address.cpp
  resolver.cpp
  peer_id.cpp
  source_url.cpp
  socket_buffer.cpp
  tcp_transport.cpp
  socket.cpp
  LIBS zl_base zl_meta_buffer_pool)
