// The SQLite connection: WAL journal, synchronous=FULL (a commit is on disk
// when it returns), a busy timeout so that several processes can share a file.
#pragma once
#include <map>
#include <string>

#include "tools/zlstats/sql_db.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zl::stats {

class SqliteDb final : public SqlDb {
public:
    explicit SqliteDb(const std::string& path);
    ~SqliteDb() override;
    Dialect GetDialect() const override { return Dialect::kSqlite; }
    void Exec(const std::string& sql) override;
    std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override;

private:
    [[noreturn]] void Fail(const std::string& what);
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace zl::stats
