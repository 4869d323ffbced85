zl_fuzzer(fuzz_source_url SOURCES source_url_fuzz.cpp LIBS zl_net_socket)
