#include "tools/zlstats/sqlite_db.h"

#include <sqlite3.h>

namespace zl::stats {

SqliteDb::SqliteDb(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw SqlError("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 30000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
}

SqliteDb::~SqliteDb() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

void SqliteDb::Fail(const std::string& what) { throw SqlError(what + ": " + sqlite3_errmsg(db_)); }

void SqliteDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw SqlError(message + " (in " + sql.substr(0, 60) + ")");
    }
}

std::vector<SqlRow> SqliteDb::Query(const std::string& sql, const std::vector<SqlValue>& params) {
    sqlite3_stmt*& stmt = statements_[sql];
    if (!stmt && sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &stmt, nullptr) != SQLITE_OK) {
        statements_.erase(sql);
        Fail("cannot prepare " + sql.substr(0, 60));
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    for (size_t i = 0; i < params.size(); ++i) {
        const int at = int(i) + 1;
        if (const auto* n = std::get_if<int64_t>(&params[i])) sqlite3_bind_int64(stmt, at, *n);
        else if (const auto* s = std::get_if<std::string>(&params[i]))
            sqlite3_bind_text(stmt, at, s->data(), int(s->size()), SQLITE_STATIC);
        else sqlite3_bind_null(stmt, at);
    }
    std::vector<SqlRow> rows;
    while (true) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            sqlite3_reset(stmt);
            Fail("cannot run " + sql.substr(0, 60));
        }
        SqlRow row;
        const int columns = sqlite3_column_count(stmt);
        row.reserve(size_t(columns));
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_INTEGER: row.emplace_back(int64_t(sqlite3_column_int64(stmt, c))); break;
                case SQLITE_NULL: row.emplace_back(std::monostate{}); break;
                default: {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                    row.emplace_back(std::string(text ? text : "", size_t(sqlite3_column_bytes(stmt, c))));
                }
            }
        }
        rows.push_back(std::move(row));
    }
    sqlite3_reset(stmt);
    return rows;
}

}  // namespace zl::stats
