#include "tools/zlstats/schema.h"

#include <vector>

namespace zl::stats {
namespace {

struct Migration {
    const char* sqlite;
    const char* postgres;
};

// Times are the service's receipt times in seconds since 1970; the hourly
// tables hold the sums the dashboard reads, kept with every stored post, so
// that a summary reads one row per hour and code instead of every event.
const std::vector<Migration>& Migrations() {
    static const std::vector<Migration> kMigrations = {
        {// 1: events, the retry guard, the hourly sums and the machines.
         R"(CREATE TABLE events(
              id INTEGER PRIMARY KEY,
              received_at INTEGER NOT NULL, address TEXT NOT NULL, code TEXT NOT NULL,
              mach_id TEXT NOT NULL, session_id TEXT NOT NULL, sequence INTEGER NOT NULL,
              os TEXT NOT NULL, game_id TEXT NOT NULL, app_version TEXT NOT NULL, gversion TEXT NOT NULL,
              total_time INTEGER NOT NULL, total_bytes INTEGER NOT NULL, average_speed INTEGER NOT NULL,
              http_bytes INTEGER NOT NULL, p2p_bytes INTEGER NOT NULL,
              in_http_bytes INTEGER NOT NULL, in_p2p_bytes INTEGER NOT NULL,
              progress TEXT NOT NULL, error_msg TEXT NOT NULL, info TEXT NOT NULL);
            CREATE INDEX events_received ON events(received_at);
            CREATE INDEX events_machine ON events(mach_id, session_id, sequence);
            CREATE TABLE seen(mach_id TEXT NOT NULL, session_id TEXT NOT NULL, sequence INTEGER NOT NULL,
              digest TEXT NOT NULL, last_at INTEGER NOT NULL,
              PRIMARY KEY(mach_id, session_id, sequence, digest)) WITHOUT ROWID;
            CREATE TABLE hourly(hour INTEGER NOT NULL, code TEXT NOT NULL, events INTEGER NOT NULL,
              server_bytes INTEGER NOT NULL, peer_bytes INTEGER NOT NULL, PRIMARY KEY(hour, code)) WITHOUT ROWID;
            CREATE TABLE hourly_spread(hour INTEGER NOT NULL, kind TEXT NOT NULL, bucket INTEGER NOT NULL,
              downloads INTEGER NOT NULL, PRIMARY KEY(hour, kind, bucket)) WITHOUT ROWID;
            CREATE TABLE machines(mach_id TEXT PRIMARY KEY, os TEXT NOT NULL, memory_total TEXT NOT NULL,
              cpu_arch TEXT NOT NULL, first_at INTEGER NOT NULL, last_at INTEGER NOT NULL);
            CREATE INDEX machines_seen ON machines(last_at, first_at);)",
         R"(CREATE TABLE events(
              id BIGSERIAL PRIMARY KEY,
              received_at BIGINT NOT NULL, address TEXT NOT NULL, code TEXT NOT NULL,
              mach_id TEXT NOT NULL, session_id TEXT NOT NULL, sequence BIGINT NOT NULL,
              os TEXT NOT NULL, game_id TEXT NOT NULL, app_version TEXT NOT NULL, gversion TEXT NOT NULL,
              total_time BIGINT NOT NULL, total_bytes BIGINT NOT NULL, average_speed BIGINT NOT NULL,
              http_bytes BIGINT NOT NULL, p2p_bytes BIGINT NOT NULL,
              in_http_bytes BIGINT NOT NULL, in_p2p_bytes BIGINT NOT NULL,
              progress TEXT NOT NULL, error_msg TEXT NOT NULL, info TEXT NOT NULL);
            CREATE INDEX events_received ON events(received_at);
            CREATE INDEX events_machine ON events(mach_id, session_id, sequence);
            CREATE TABLE seen(mach_id TEXT NOT NULL, session_id TEXT NOT NULL, sequence BIGINT NOT NULL,
              digest TEXT NOT NULL, last_at BIGINT NOT NULL,
              PRIMARY KEY(mach_id, session_id, sequence, digest));
            CREATE TABLE hourly(hour BIGINT NOT NULL, code TEXT NOT NULL, events BIGINT NOT NULL,
              server_bytes BIGINT NOT NULL, peer_bytes BIGINT NOT NULL, PRIMARY KEY(hour, code));
            CREATE TABLE hourly_spread(hour BIGINT NOT NULL, kind TEXT NOT NULL, bucket BIGINT NOT NULL,
              downloads BIGINT NOT NULL, PRIMARY KEY(hour, kind, bucket));
            CREATE TABLE machines(mach_id TEXT PRIMARY KEY, os TEXT NOT NULL, memory_total TEXT NOT NULL,
              cpu_arch TEXT NOT NULL, first_at BIGINT NOT NULL, last_at BIGINT NOT NULL);
            CREATE INDEX machines_seen ON machines(last_at, first_at);)"},
    };
    return kMigrations;
}

// An arbitrary key for the advisory lock that serialises migrations.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7460123501)";

}  // namespace

int LatestSchemaVersion() { return int(Migrations().size()); }

int MigrateSchema(SqlDb& db) {
    const bool pg = db.GetDialect() == Dialect::kPostgres;
    db.Exec(pg ? "BEGIN" : "BEGIN IMMEDIATE");
    try {
        if (pg) db.Query(kMigrationLock, {});
        db.Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
        const auto rows = db.Query("SELECT max(version) FROM schema_version", {});
        const int found = rows.empty() ? 0 : int(AsInt(rows[0][0]));
        if (found > LatestSchemaVersion())
            throw SqlError("the database has schema version " + std::to_string(found) + ", newer than the " +
                           std::to_string(LatestSchemaVersion()) + " this zlstats knows");
        for (int v = found; v < LatestSchemaVersion(); ++v) {
            const Migration& m = Migrations()[size_t(v)];
            db.Exec(pg ? m.postgres : m.sqlite);
            db.Query("DELETE FROM schema_version", {});
            db.Query("INSERT INTO schema_version(version) VALUES(?)", {int64_t(v + 1)});
        }
        db.Exec("COMMIT");
        return found;
    } catch (...) {
        try {
            db.Exec("ROLLBACK");
        } catch (const SqlError&) {
        }
        throw;
    }
}

}  // namespace zl::stats
