# The BitTorrent peer: the wire format (handshake, messages 0-8, the
# HTTP-looking preamble) and the peer object on the common peer model.
zl_library(zl_net_bt_wire SOURCES
  bt_wire.cpp)
zl_library(zl_net_bt_peer SOURCES
  bt_peer.cpp
  LIBS zl_net_peer zl_net_bt_wire)
