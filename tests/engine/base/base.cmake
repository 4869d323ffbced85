zl_test(core_clock_test SOURCES clock_test.cpp LIBS zl_core_base THREADED)
