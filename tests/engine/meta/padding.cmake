zl_test(meta_padding_test SOURCES padding_test.cpp LIBS zl_meta_storage)
