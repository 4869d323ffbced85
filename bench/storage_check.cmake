# The start-up full check against `openssl dgst -sha1` over the same 1 GiB file.
zl_bench(bench_storage_check SOURCES storage_check_bench.cpp LIBS zl_meta_storage)
