# A task's candidate sources as its peer driver keeps them: source refresh,
# server-list picks, redirects, penalties and servers removed for bad data.
zl_library(zl_core_task_candidates SOURCES
  task_candidates.cpp
  LIBS zl_core_peers zl_net_socket)
# The task's peer driver (in zl_core_task) keeps its candidates here.
target_link_libraries(zl_core_task PUBLIC zl_core_task_candidates)
