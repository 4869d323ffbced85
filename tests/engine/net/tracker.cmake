# The tracker client: answer parsing and the tracker peer against scripted
# HTTP and UDP trackers on 127.0.3.x.
zl_test(net_tracker_test SOURCES tracker_test.cpp LIBS zl_net_tracker_peer)
# Against a real opentracker on 127.0.3.50, started and stopped by the test
# (skipped when opentracker is not installed).
zl_test(net_tracker_opentracker_test SOURCES tracker_opentracker_test.cpp LIBS zl_net_tracker_peer zl_net_tracker_codec)
