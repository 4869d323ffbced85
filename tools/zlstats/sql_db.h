// One connection to the service's database, SQLite or PostgreSQL, behind the
// few calls the service needs. Statements are written once with "?"
// placeholders; each connection prepares a statement the first time it runs
// it and keeps it. Failures throw SqlError.
#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace zl::stats {

class SqlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Dialect { kSqlite, kPostgres };

using SqlValue = std::variant<std::monostate, int64_t, std::string>;
using SqlRow = std::vector<SqlValue>;

// A column as a number (PostgreSQL answers in text) or a text; 0 and "" for NULL.
int64_t AsInt(const SqlValue& v);
std::string AsText(const SqlValue& v);

class SqlDb {
public:
    virtual ~SqlDb() = default;
    virtual Dialect GetDialect() const = 0;
    // Statements without parameters or results (DDL, BEGIN, COMMIT).
    virtual void Exec(const std::string& sql) = 0;
    virtual std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) = 0;
};

// "postgresql://..." (or "postgres://...") opens PostgreSQL; anything else is
// an SQLite file, created when missing, in WAL mode with full syncs.
std::unique_ptr<SqlDb> OpenDatabase(const std::string& target);
bool IsPostgresUrl(const std::string& target);

// The target with any password replaced, for messages.
std::string RedactedTarget(const std::string& target);

}  // namespace zl::stats
