# The common peer model: request records, the task interface and the peer object.
zl_library(zl_net_peer SOURCES
  peer_requests.cpp
  peer_object.cpp
  LIBS zl_net_socket)
