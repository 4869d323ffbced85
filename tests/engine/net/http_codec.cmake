zl_test(http_codec_test SOURCES
  http_request_test.cpp
  http_response_test.cpp
  http_body_test.cpp
  http_redirect_test.cpp
  LIBS zl_net_http_codec)
# Against a real nginx on loopback (skipped when nginx is not installed).
zl_test(http_codec_nginx_test SOURCES http_codec_nginx_test.cpp LIBS zl_net_http_codec)
