# The test sandbox itself: temporary folders and bounded waits.
zl_test(support_test SOURCES support_test.cpp LIBS zl_base THREADED)
