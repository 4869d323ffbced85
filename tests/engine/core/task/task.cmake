zl_test(core_task_model_test SOURCES task_model_test.cpp LIBS zl_core_task)
zl_test(core_task_worker_test SOURCES task_worker_test.cpp LIBS zl_core_task THREADED)
zl_test(core_task_storage_test SOURCES task_storage_test.cpp LIBS zl_core_task THREADED)
# A task downloading its torrent's data from HTTP sources (a real nginx on
# loopback) through the flat interface.
zl_test(core_task_download_test SOURCES task_download_test.cpp LIBS zl_core_task THREADED)
# Tasks from a task link text, and a task whose torrent is replaced by one with
# another piece length.
zl_test(core_task_link_text_test SOURCES task_link_text_test.cpp LIBS zl_core_task THREADED)
# A whole task's stop when no data arrives.
zl_test(core_task_no_data_test SOURCES task_no_data_test.cpp LIBS zl_core_task THREADED)
