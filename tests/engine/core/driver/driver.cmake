# The task's peer driver managing its server sources on a fake clock with
# scripted in-process HTTP servers, and the admission of incoming BitTorrent
# connections on loopback sockets.
zl_test(core_task_candidates_test SOURCES candidates_test.cpp LIBS zl_core_task)
zl_test(core_incoming_admission_test SOURCES incoming_admission_test.cpp LIBS zl_core_task)
# The task's tracker connector against scripted trackers on 127.0.3.x.
zl_test(core_task_tracker_connector_test SOURCES tracker_connector_test.cpp LIBS zl_core_driver_trackers)
# A task announcing through the whole engine to a real opentracker (skipped
# when opentracker is not installed).
zl_test(core_task_trackers_engine_test SOURCES trackers_engine_test.cpp LIBS zl_core_task zl_net_tracker_codec THREADED)
zl_test(core_task_dht_step_test SOURCES dht_step_test.cpp LIBS zl_core_driver_dht)
