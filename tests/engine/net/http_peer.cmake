# The HTTP source peer against a real nginx and scripted servers on loopback
# (the nginx cases are skipped when nginx is not installed).
zl_test(http_peer_test SOURCES http_peer_test.cpp LIBS zl_net_http_peer)
