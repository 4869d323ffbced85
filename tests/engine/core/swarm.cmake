# A whole download task driven through minutes of simulated time: HTTP mirrors
# of controlled speed and faults on a simulated network, timed by a test clock.
zl_test(core_swarm_test SOURCES swarm_test.cpp sim_network.cpp LIBS zl_core_task THREADED)
