# Requests a silent remote never answers go back after 30 s (127.0.10.x).
zl_test(net_bt_peer_timeout_test SOURCES bt_peer_timeout_test.cpp LIBS zl_net_bt_peer)
