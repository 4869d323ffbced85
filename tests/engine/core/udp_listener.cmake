# The shared listener's UDP-stream endpoint: two engines' UDP servers on
# loopback (127.0.81.x) with a rendezvous server; streams are sniffed and
# handed to their task like TCP connections.
zl_test(core_udp_listener_test SOURCES udp_listener_test.cpp
        LIBS zl_core_listener zl_udp_stream_service zl_rendezvous_server zl_base_runtime THREADED)
