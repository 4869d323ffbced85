zl_test(net_source_url_test SOURCES source_url_test.cpp LIBS zl_net_socket)
zl_test(net_resolver_test SOURCES resolver_test.cpp LIBS zl_net_socket THREADED)
zl_test(net_socket_test SOURCES socket_test.cpp LIBS zl_net_socket)
