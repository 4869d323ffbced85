# A task's candidate sources as its peer driver keeps them: source refresh,
# server-list picks, redirects, penalties and servers removed for bad data.
zl_library(zl_core_driver_candidates SOURCES candidates.cpp LIBS zl_core_peers zl_net_socket)
