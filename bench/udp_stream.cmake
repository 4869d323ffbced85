# One UDP stream's throughput between two engines on loopback (clean, lossy,
# delayed through a relay) next to TCP; bench/udp-stream-vs-utp adds
# python3-libtorrent's uTP for reference. Uses the loopback helpers of the tests.
if(TARGET zl_udp_loopback)
  add_executable(bench_udp_stream udp_stream_bench.cpp)
  target_link_libraries(bench_udp_stream PRIVATE zl_udp_stream_service zl_udp_loopback OpenSSL::Crypto)
endif()
