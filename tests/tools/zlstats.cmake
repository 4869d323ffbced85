# zlstats: validation of posts, the store on SQLite (and on PostgreSQL under
# with_postgres.py), the rate limit; then the service as a process.
zl_test(zlstats_posts_test SOURCES zlstats_posts_test.cpp LIBS zl_stats_posts)
zl_test(zlstats_store_test SOURCES zlstats_store_test.cpp LIBS zl_stats_store)
zl_test(zlstats_rate_limiter_test SOURCES zlstats_rate_limiter_test.cpp LIBS zl_stats_service)
# The same store tests against a PostgreSQL server the test starts itself.
add_test(NAME zlstats_store_postgres_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/with_postgres.py $<TARGET_FILE:zlstats_store_test> --gtest_filter=*postgres*)
# zlstats as a process: retries across two processes, hostile posts, the 429
# flood, SIGKILL in a flood; then the dashboard in headless Chromium (its
# screenshot in the build folder). Each on SQLite and on PostgreSQL.
foreach(backend sqlite postgres)
  set(runner "")
  if(backend STREQUAL "postgres")
    set(runner ${CMAKE_CURRENT_SOURCE_DIR}/with_postgres.py)
  endif()
  add_test(NAME zlstats_service_${backend}_test
           COMMAND ${runner} ${CMAKE_CURRENT_SOURCE_DIR}/zlstats_service_test.py $<TARGET_FILE:zlstats> ${backend})
  add_test(NAME zlstats_dashboard_${backend}_test
           COMMAND ${runner} ${CMAKE_CURRENT_SOURCE_DIR}/zlstats_dashboard_test.py $<TARGET_FILE:zlstats> ${backend}
                   ${PROJECT_BINARY_DIR}/zlstats-dashboard-${backend}.png)
  set_tests_properties(zlstats_service_${backend}_test zlstats_dashboard_${backend}_test
                       PROPERTIES LABELS servers TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()
set_tests_properties(zlstats_store_postgres_test PROPERTIES LABELS servers TIMEOUT 120 SKIP_RETURN_CODE 77)
