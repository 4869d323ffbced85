# A download task on simulated mirrors and an in-memory file system that cuts
# the power at every durability step; the task recovers and completes.
zl_test(core_power_cut_test SOURCES power_cut_test.cpp sim_network.cpp LIBS zl_core_task zl_test_fault_fs THREADED)
