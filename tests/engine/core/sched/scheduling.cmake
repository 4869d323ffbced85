zl_test(core_transfer_statistics_test SOURCES transfer_statistics_test.cpp LIBS zl_core_sched)
zl_test(core_piece_scheduling_test SOURCES piece_scheduling_test.cpp server_ranges_test.cpp piece_rarity_test.cpp
        LIBS zl_core_sched)
# The piece-scheduling state of a task: requesters per piece, end game, shared
# requests and have batches, alone and on a real task's piece map.
zl_test(core_task_scheduling_test SOURCES scheduling_state_test.cpp scheduling_state_map_test.cpp LIBS zl_core_task)
