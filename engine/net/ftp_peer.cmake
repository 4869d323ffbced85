# The FTP source peer: a control connection driving the login and transfer
# steps, passive data connections cut into blocks or collected whole.
zl_library(zl_net_ftp_peer SOURCES
  ftp_peer.cpp
  LIBS zl_net_peer zl_net_ftp_codec)
