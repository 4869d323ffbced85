# The HTTP source peer: ranged GETs cut into blocks, whole-content bodies,
# redirects handed to the task as new sources.
zl_library(zl_net_http_peer SOURCES
  http_peer.cpp
  LIBS zl_net_peer zl_net_http_codec)
