# The task's tracker connector: which trackers are asked when, and their
# answers as candidates. The task library drives it from its peer driver.
zl_library(zl_core_task_trackers SOURCES
  task_tracker_connector.cpp
  LIBS zl_core_peers zl_net_tracker_peer)
target_sources(zl_core_task PRIVATE task_peer_driver_trackers.cpp task_tracker_view.cpp)
target_link_libraries(zl_core_task PUBLIC zl_core_task_trackers)
