# A whole download task driven through minutes of simulated time: HTTP mirrors
# of controlled speed and faults on a simulated network, timed by a test clock.
zl_test(core_swarm_test SOURCES swarm_test.cpp LIBS zl_core_task zl_test_sim THREADED)
# Whole downloads over every combination of piece size, data on disk, a
# corrupt mirror and HTTP or FTP, on the simulated network and clock.
zl_test(core_swarm_matrix_test SOURCES swarm_matrix_test.cpp LIBS zl_core_task zl_test_sim THREADED)
# Whole BitTorrent swarms on simulated time: seeders and leechers of set
# speeds, choking, corrupt and silent remotes and departures, with mirrors.
zl_test(core_bt_swarm_test SOURCES bt_swarm_test.cpp LIBS zl_core_task zl_test_sim THREADED)
# A download task on simulated mirrors and an in-memory file system that cuts
# the power at every durability step; the task recovers and completes.
zl_test(core_power_cut_test SOURCES power_cut_test.cpp LIBS zl_core_task zl_test_sim zl_test_fault_fs THREADED)
