zl_fuzzer(fuzz_resume_data SOURCES resume_data_fuzz.cpp LIBS zl_meta_storage)
zl_fuzzer(fuzz_piece_cache SOURCES piece_cache_fuzz.cpp LIBS zl_meta_storage)
