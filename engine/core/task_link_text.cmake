# Tasks described by a task link text instead of a torrent.
target_sources(zl_core_task PRIVATE task_link_text.cpp)
