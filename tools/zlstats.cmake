# zlstats: the statistics service (posts into SQLite or PostgreSQL, the
# dashboard with its chart library from npm, bundled at build time).
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZL_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(ZL_SQLITE REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(ZL_LIBPQ REQUIRED IMPORTED_TARGET libpq)
if(NOT TARGET JsonCpp::JsonCpp)
  find_package(jsoncpp CONFIG REQUIRED)
endif()

# The validation of posts alone, for the fuzz target.
zl_library(zl_stats_posts SOURCES
  zlstats/post_parser.cpp
  LIBS JsonCpp::JsonCpp)

zl_library(zl_stats_store SOURCES
  zlstats/event_codes.cpp
  zlstats/event_store.cpp
  zlstats/postgres_db.cpp
  zlstats/schema.cpp
  zlstats/sql_db.cpp
  zlstats/sqlite_db.cpp
  zlstats/summary.cpp
  zlstats/synthetic_events.cpp
  LIBS zl_stats_posts zl_base PkgConfig::ZL_SQLITE PkgConfig::ZL_LIBPQ OpenSSL::Crypto)

if(NOT ZL_FUZZ)
  set(ZL_DASHBOARD_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/index.html
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/dashboard.css
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/dashboard.js
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/package.json
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/package-lock.json
    ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/bundle.py)
  set(ZL_DASHBOARD_CPP ${CMAKE_CURRENT_BINARY_DIR}/zlstats_dashboard/dashboard_assets.cpp)
  add_custom_command(OUTPUT ${ZL_DASHBOARD_CPP}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard/bundle.py
            ${CMAKE_CURRENT_SOURCE_DIR}/zlstats/dashboard ${CMAKE_CURRENT_BINARY_DIR}/zlstats_dashboard
            ${ZL_DASHBOARD_CPP}
    DEPENDS ${ZL_DASHBOARD_SOURCES}
    COMMENT "Bundling the zlstats dashboard with its chart library")

  zl_library(zl_stats_service SOURCES
    zlstats/ingest_queue.cpp
    zlstats/rate_limiter.cpp
    zlstats/stats_service.cpp
    ${ZL_DASHBOARD_CPP}
    LIBS zl_stats_store zl_base PkgConfig::ZL_HTTPLIB)

  add_executable(zlstats zlstats/main.cpp)
  target_link_libraries(zlstats PRIVATE zl_stats_service)
endif()
