zl_test(base_qmutex_test SOURCES qmutex_test.cpp LIBS zl_base THREADED)
zl_test(base_qthread_test SOURCES qthread_test.cpp LIBS zl_base_runtime THREADED)
zl_test(base_engine_clock_test SOURCES engine_clock_test.cpp LIBS zl_base_runtime THREADED)
zl_test(base_engine_log_test SOURCES engine_log_test.cpp LIBS zl_base_runtime THREADED)
