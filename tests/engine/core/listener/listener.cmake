# The shared listener on loopback sockets (127.0.11.x) and a test clock: the
# sniffing table, the pending list's limits, the published address, the /24
# rule on a scripted transport, and LAN discovery's rules.
zl_test(core_listener_test SOURCES listener_test.cpp LIBS zl_core_listener zl_base_runtime THREADED)
# Incoming connections through the whole engine: two seeding tasks share the
# listener on 127.0.11.2 and answer raw clients.
zl_test(core_listener_engine_test SOURCES listener_engine_test.cpp LIBS zl_core_task THREADED)
# The shared listener's UDP-stream endpoint: two engines' UDP servers on
# loopback (127.0.81.x) with a rendezvous server; streams are sniffed and
# handed to their task like TCP connections.
zl_test(core_udp_listener_test SOURCES udp_listener_test.cpp
        LIBS zl_core_listener zl_udp_stream_service zl_rendezvous_server zl_base_runtime THREADED)
