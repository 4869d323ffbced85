zl_test(hash_workers_test SOURCES hash_workers_test.cpp LIBS zl_meta_storage THREADED)
