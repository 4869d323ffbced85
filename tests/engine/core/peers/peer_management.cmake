zl_test(core_peer_management_test SOURCES peer_candidates_test.cpp peer_connect_test.cpp peer_order_test.cpp
  LIBS zl_core_peers zl_udp_stream)
zl_test(core_ip_filter_test SOURCES ip_filter_test.cpp LIBS zl_core_ipfilter)
