zl_test(net_peer_object_test SOURCES peer_object_test.cpp LIBS zl_net_peer)
