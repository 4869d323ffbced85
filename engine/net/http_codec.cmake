# HTTP source protocol pieces: request text, response header, status plan,
# chunked and whole-content bodies, redirect locations. No sockets, no threads.
zl_library(zl_net_http_codec SOURCES
  http_request.cpp
  http_response_header.cpp
  http_response_plan.cpp
  http_chunked.cpp
  http_whole_body.cpp
  http_redirect.cpp
  LIBS zl_base)
