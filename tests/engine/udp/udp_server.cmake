# The UDP server with stub consumers on loopback (127.0.3.x) and a test clock.
zl_test(udp_server_test SOURCES udp_server_test.cpp LIBS zl_udp_server THREADED)
