zl_test(core_qmutex_test SOURCES qmutex_test.cpp LIBS zl_core_base THREADED)
zl_test(core_qthread_test SOURCES qthread_test.cpp LIBS zl_core_runtime THREADED)
zl_test(core_engine_clock_test SOURCES engine_clock_test.cpp LIBS zl_core_runtime THREADED)
zl_test(core_engine_log_test SOURCES engine_log_test.cpp LIBS zl_core_runtime THREADED)
