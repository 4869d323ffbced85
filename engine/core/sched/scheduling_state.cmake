# The piece-scheduling state a task keeps (requested pieces, end game, shared
# requests, have announcements); the task library uses it.
zl_library(zl_core_sched_state SOURCES scheduling_state.cpp LIBS zl_core_sched zl_net_peer)
