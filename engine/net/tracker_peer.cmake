# The tracker client: announce requests and answers over HTTP and UDP, and
# the tracker peer that hands the answer's peers to its task.
zl_library(zl_net_tracker_codec SOURCES
  tracker_answer.cpp
  tracker_http.cpp
  tracker_udp.cpp
  LIBS zl_net_socket zl_meta_bencode)
zl_library(zl_net_tracker_peer SOURCES
  tracker_peer.cpp
  LIBS zl_net_peer zl_net_tracker_codec zl_net_udp_socket zl_meta_digest)
