// The database's schema, versioned: each migration moves it one version on
// and runs once, at start, inside one transaction (several processes starting
// on one PostgreSQL database take turns on an advisory lock). A database of a
// newer version than this program knows is refused, not touched.
#pragma once
#include "tools/zlstats/sql_db.h"

namespace zl::stats {

int LatestSchemaVersion();

// Brings the database to the latest version; returns the version it found.
int MigrateSchema(SqlDb& db);

}  // namespace zl::stats
