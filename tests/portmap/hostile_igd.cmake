zl_test(portmap_hostile_igd_test SOURCES hostile_igd_test.cpp LIBS zl_portmap THREADED)
