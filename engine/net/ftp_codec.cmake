# FTP source protocol pieces: command lines, reply reader, PASV and SIZE
# replies, and the login/transfer state machine. No sockets, no threads.
zl_library(zl_net_ftp_codec SOURCES
  ftp_commands.cpp
  ftp_reply.cpp
  ftp_session.cpp)
