zl_test(udp_kad_messages_test SOURCES kad_messages_test.cpp LIBS zl_udp_dht)
zl_test(udp_kad_routing_table_test SOURCES kad_routing_table_test.cpp LIBS zl_udp_dht)
zl_test(udp_kad_node_test SOURCES kad_node_test.cpp LIBS zl_udp_dht)
zl_test(udp_kad_lookup_test SOURCES kad_lookup_test.cpp LIBS zl_udp_dht)
