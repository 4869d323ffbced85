# Storage on an in-memory file system that can cut the power: the file system
# itself (a library the task tests share) and the cuts at every durability step.
zl_library(zl_test_fault_fs SOURCES fault_file_system.cpp LIBS zl_meta_fs)
zl_test(storage_power_cut_test SOURCES storage_power_cut_test.cpp LIBS zl_meta_storage zl_test_fault_fs)
