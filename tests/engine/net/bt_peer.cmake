# The BitTorrent peer against a scripted remote on loopback (127.0.4.x).
zl_test(net_bt_peer_test SOURCES bt_peer_test.cpp LIBS zl_net_bt_peer)
