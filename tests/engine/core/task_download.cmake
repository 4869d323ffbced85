# A task downloading its torrent's data from HTTP sources (a real nginx on
# loopback) through the flat interface.
zl_test(core_task_download_test SOURCES task_download_test.cpp LIBS zl_core_task THREADED)
