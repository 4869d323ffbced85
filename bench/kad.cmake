zl_bench(bench_kad SOURCES kad_bench.cpp LIBS zl_udp_dht)
