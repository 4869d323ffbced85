# The task's tracker connector against scripted trackers on 127.0.3.x.
zl_test(core_task_tracker_connector_test SOURCES task_tracker_connector_test.cpp LIBS zl_core_task_trackers)
# A task announcing through the whole engine to a real opentracker (skipped
# when opentracker is not installed).
zl_test(core_task_trackers_engine_test SOURCES task_trackers_engine_test.cpp LIBS zl_core_task zl_net_tracker_codec THREADED)
