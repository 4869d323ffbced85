# The simulated network (HTTP and FTP servers like nginx and vsftpd) and the
# simulated BitTorrent swarm, built once for every test that runs on them.
zl_library(zl_test_sim SOURCES sim_network.cpp sim_swarm.cpp LIBS zl_base zl_net_socket zl_net_bt_wire zl_meta_digest)
