# The end of a download with servers and BitTorrent peers: idle servers take
# over what slow remotes still have queued, and blocks that arrived are
# cancelled where they were asked for too.
target_sources(zl_core_task PRIVATE task_takeover.cpp)
