zl_test(meta_digest_test SOURCES digest_test.cpp LIBS zl_meta_digest)
zl_test(meta_buffer_pool_test SOURCES buffer_pool_test.cpp LIBS zl_meta_buffer_pool THREADED)
