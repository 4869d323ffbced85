# Whole BitTorrent swarms on simulated time: seeders and leechers of set
# speeds, choking, corrupt and silent remotes and departures, with mirrors.
zl_test(core_bt_swarm_test SOURCES bt_swarm_test.cpp sim_swarm.cpp sim_network.cpp LIBS zl_core_task THREADED)
