zl_fuzzer(fuzz_bencode SOURCES bencode_fuzz.cpp LIBS zl_meta_bencode)
