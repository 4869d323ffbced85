zl_fuzzer(fuzz_kad_krpc SOURCES kad_krpc_fuzz.cpp LIBS zl_udp_dht)
zl_fuzzer(fuzz_kad_cache SOURCES kad_cache_fuzz.cpp LIBS zl_udp_dht)
