# The piece-scheduling state a task keeps (requested pieces, end game, shared
# requests, have announcements); the task library uses it.
zl_library(zl_core_task_sched SOURCES task_scheduling.cpp LIBS zl_core_sched zl_net_peer)
target_link_libraries(zl_core_task PUBLIC zl_core_task_sched)
