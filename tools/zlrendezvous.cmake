# zlrendezvous: the rendezvous server for the UDP stream (its logic is a
# library so that tests can run it on a simulated network).
zl_library(zl_rendezvous_server SOURCES
  zlrendezvous/rendezvous_server.cpp
  LIBS zl_udp_stream)
add_executable(zlrendezvous zlrendezvous/main.cpp)
target_link_libraries(zlrendezvous PRIVATE zl_rendezvous_server)
