zl_fuzzer(fuzz_ip_filter SOURCES ip_filter_fuzz.cpp LIBS zl_core_ipfilter)
