# The task's peer driver managing its server sources on a fake clock with
# scripted in-process HTTP servers, a whole task's no-data stop, and the
# admission of incoming BitTorrent connections on loopback sockets.
zl_test(core_task_candidates_test SOURCES task_candidates_test.cpp LIBS zl_core_task)
zl_test(core_task_no_data_test SOURCES task_no_data_test.cpp LIBS zl_core_task THREADED)
zl_test(core_incoming_admission_test SOURCES incoming_admission_test.cpp LIBS zl_core_task)
