zl_fuzzer(fuzz_udp_demux SOURCES udp_demux_fuzz.cpp LIBS zl_udp_demux)
