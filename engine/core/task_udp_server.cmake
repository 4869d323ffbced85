# The engine context owns the UDP server and starts it with the first task.
target_link_libraries(zl_core_task PUBLIC zl_udp_server)
