# The task's tracker connector: which trackers are asked when, and their
# answers as candidates. The peer driver runs it (peer_driver_trackers.cpp).
zl_library(zl_core_driver_trackers SOURCES tracker_connector.cpp LIBS zl_core_peers zl_net_tracker_peer)
