zl_test(base_clock_test SOURCES clock_test.cpp LIBS zl_base THREADED)
