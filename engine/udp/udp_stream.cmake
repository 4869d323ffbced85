# The UDP stream transport with its rendezvous client, and the messages the
# rendezvous server shares with it.
zl_library(zl_udp_stream SOURCES
  endpoint_tag.cpp
  udp_stream_packet.cpp
  rendezvous_messages.cpp
  udp_stream_transport.cpp
  udp_stream_calls.cpp
  udp_stream_receive.cpp
  udp_stream_timers.cpp
  rendezvous_client.cpp
  udp_stream_socket.cpp
  LIBS zl_base zl_meta_digest zl_meta_buffer_pool zl_net_socket)
# The transport on the engine's UDP server.
zl_library(zl_udp_stream_service SOURCES udp_stream_service.cpp LIBS zl_udp_stream zl_udp_server)
# The segment checksum (Adler-32, computed on every send and every arrival)
# comes from libdeflate, whose vectorised routine is several times zlib's.
find_library(ZL_LIBDEFLATE deflate REQUIRED)
find_path(ZL_LIBDEFLATE_INCLUDE libdeflate.h REQUIRED)
target_include_directories(zl_udp_stream PRIVATE ${ZL_LIBDEFLATE_INCLUDE})
target_link_libraries(zl_udp_stream PRIVATE ${ZL_LIBDEFLATE})
