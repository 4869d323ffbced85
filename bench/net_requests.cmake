# Matching a received block against a peer's outstanding requests, by queue depth,
# and a loopback socket's send/receive throughput through the send queue.
zl_bench(bench_net_requests SOURCES net_requests_bench.cpp LIBS zl_net_peer)
