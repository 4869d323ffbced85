zl_test(ftp_codec_test SOURCES
  ftp_reply_test.cpp
  ftp_session_test.cpp
  LIBS zl_net_ftp_codec)
# Against a real vsftpd on loopback (skipped when vsftpd is not installed).
zl_test(ftp_codec_vsftpd_test SOURCES ftp_codec_vsftpd_test.cpp LIBS zl_net_ftp_codec)
