# zlstats: validation of posts, the store on SQLite (and on PostgreSQL under
# with_postgres.py), the rate limit; then the service as a process.
zl_test(zlstats_posts_test SOURCES zlstats_posts_test.cpp LIBS zl_stats_posts)
zl_test(zlstats_store_test SOURCES zlstats_store_test.cpp LIBS zl_stats_store)
zl_test(zlstats_rate_limiter_test SOURCES zlstats_rate_limiter_test.cpp LIBS zl_stats_service)
