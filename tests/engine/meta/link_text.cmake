zl_test(meta_link_text_test SOURCES link_text_test.cpp LIBS zl_meta_storage)
