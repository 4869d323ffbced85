# The engine's UDP stream transport on its UDP server, and what the tasks'
# BitTorrent peers take from it.
target_sources(zl_core_task PRIVATE engine_udp_stream.cpp task_udp_stream.cpp)
target_link_libraries(zl_core_task PUBLIC zl_udp_stream_service)
