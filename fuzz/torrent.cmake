zl_fuzzer(fuzz_torrent SOURCES torrent_fuzz.cpp LIBS zl_meta_torrent)
