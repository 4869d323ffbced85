zl_test(core_qthread_test SOURCES qthread_test.cpp LIBS zl_core_runtime THREADED)
