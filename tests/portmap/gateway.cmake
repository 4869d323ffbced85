# Needs root and network namespaces; skips with the reason otherwise.
zl_test(portmap_gateway_test SOURCES gateway_test.cpp LIBS zl_portmap THREADED TIMEOUT 120)
