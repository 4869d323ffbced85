zl_test(core_engine_api_test SOURCES engine_api_test.cpp LIBS zl_core_task THREADED)
# The engine's DHT switch and node, behind a real UDP server on 127.0.7.x.
zl_test(core_engine_dht_test SOURCES engine_dht_test.cpp LIBS zl_core_task zl_udp_dht THREADED)
