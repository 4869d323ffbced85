# The shared listener: the handshake sniffing of accepted connections (with
# the accepting side of the obfuscated handshake), the pending list, the
# published address and LAN discovery (its datagram codec and socket). The
# task takes its own connections and LAN peers (driver/incoming.cpp).
zl_library(zl_core_listener SOURCES
  incoming_sniff.cpp
  lan_datagram.cpp
  lan_discovery.cpp
  mse_accept.cpp
  shared_listener.cpp
  LIBS zl_base zl_net_socket zl_net_bt_wire zl_meta_digest OpenSSL::Crypto)
