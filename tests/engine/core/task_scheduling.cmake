# The piece-scheduling state of a task: requesters per piece, end game, shared
# requests and have batches, alone and on a real task's piece map.
zl_test(core_task_scheduling_test SOURCES task_scheduling_test.cpp task_scheduling_map_test.cpp LIBS zl_core_task)
