zl_fuzzer(fuzz_link_text SOURCES link_text_fuzz.cpp LIBS zl_meta_torrent)
