# The FTP source peer against a real vsftpd and a scripted server on loopback
# (the vsftpd cases are skipped when vsftpd is not installed).
zl_test(ftp_peer_test SOURCES ftp_peer_test.cpp LIBS zl_net_ftp_peer)
