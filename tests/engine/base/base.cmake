zl_test(base_clock_test SOURCES clock_test.cpp LIBS zl_base THREADED)
zl_test(base_text_test SOURCES text_test.cpp LIBS zl_base)
