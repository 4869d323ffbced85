zl_test(ftp_codec_test SOURCES
  ftp_reply_test.cpp
  ftp_session_test.cpp
  LIBS zl_net_ftp_codec)
