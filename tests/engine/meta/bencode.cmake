zl_test(meta_bencode_test SOURCES bencode_test.cpp LIBS zl_meta_bencode)
