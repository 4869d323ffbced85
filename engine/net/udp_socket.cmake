# The reusable datagram socket (the UDP server's, and a UDP tracker exchange's).
zl_library(zl_net_udp_socket SOURCES udp_socket.cpp LIBS zl_base)
