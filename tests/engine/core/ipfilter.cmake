zl_test(core_ip_filter_test SOURCES ip_filter_test.cpp LIBS zl_core_ipfilter)
