# Digest throughput next to libcrypto's (and zlib's plain Adler-32) in the same run.
zl_bench(bench_digests SOURCES digests_bench.cpp LIBS zl_meta_digest)
