# The task's peer driver managing its server sources on a fake clock with
# scripted in-process HTTP servers, and a whole task's no-data stop.
zl_test(core_task_candidates_test SOURCES task_candidates_test.cpp LIBS zl_core_task)
zl_test(core_task_no_data_test SOURCES task_no_data_test.cpp LIBS zl_core_task THREADED)
