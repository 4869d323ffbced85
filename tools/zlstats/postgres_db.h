// The PostgreSQL connection (libpq). Statements are prepared once per
// connection with "?" turned into "$1", "$2", ...; values travel as text.
#pragma once
#include <map>
#include <string>

#include "tools/zlstats/sql_db.h"

struct pg_conn;

namespace zl::stats {

class PostgresDb final : public SqlDb {
public:
    explicit PostgresDb(const std::string& url);
    ~PostgresDb() override;
    Dialect GetDialect() const override { return Dialect::kPostgres; }
    void Exec(const std::string& sql) override;
    std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override;

    // "?" placeholders as "$n" (outside quoted texts).
    static std::string NumberPlaceholders(const std::string& sql);

private:
    pg_conn* conn_ = nullptr;
    std::map<std::string, std::string> prepared_;  // statement text -> its name
};

}  // namespace zl::stats
