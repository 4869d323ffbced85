# The UDP stream transport and rendezvous, on a simulated network and on loopback.
add_library(zl_udp_sim STATIC sim_udp_net.cpp)
target_link_libraries(zl_udp_sim PUBLIC zl_udp_stream zl_rendezvous_server)
target_include_directories(zl_udp_sim PUBLIC ${PROJECT_SOURCE_DIR})
zl_test(udp_stream_bulk_test SOURCES udp_stream_bulk_test.cpp LIBS zl_udp_sim OpenSSL::Crypto)
