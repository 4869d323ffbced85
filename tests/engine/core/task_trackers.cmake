# The task's tracker connector against scripted trackers on 127.0.3.x.
zl_test(core_task_tracker_connector_test SOURCES task_tracker_connector_test.cpp LIBS zl_core_task_trackers)
