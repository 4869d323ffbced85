# Tasks from a task link text, and a task whose torrent is replaced by one with
# another piece length.
zl_test(core_task_link_text_test SOURCES task_link_text_test.cpp LIBS zl_core_task THREADED)
