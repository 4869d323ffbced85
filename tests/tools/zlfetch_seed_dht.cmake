# zlfetch seed --dht: where the seed keeps its DHT node cache.
zl_test(zlfetch_dht_cache_folder_test SOURCES zlfetch_dht_cache_folder_test.cpp LIBS zlfetch_cli)
