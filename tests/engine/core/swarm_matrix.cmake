# Whole downloads over every combination of piece size, data on disk, a
# corrupt mirror and HTTP or FTP, on the simulated network and clock.
zl_test(core_swarm_matrix_test SOURCES swarm_matrix_test.cpp sim_network.cpp LIBS zl_core_task THREADED)
