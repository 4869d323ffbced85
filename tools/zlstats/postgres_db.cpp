#include "tools/zlstats/postgres_db.h"

#include <libpq-fe.h>

#include <memory>

namespace zl::stats {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

void Check(pg_conn* conn, const Result& result, const std::string& what) {
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
    throw SqlError(what + ": " + PQerrorMessage(conn));
}

}  // namespace

PostgresDb::PostgresDb(const std::string& url) : conn_(PQconnectdb(url.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string message = PQerrorMessage(conn_);
        PQfinish(conn_);
        conn_ = nullptr;
        throw SqlError("cannot connect to " + RedactedTarget(url) + ": " + message);
    }
    Exec("SET client_min_messages = warning");
}

PostgresDb::~PostgresDb() { PQfinish(conn_); }

void PostgresDb::Exec(const std::string& sql) {
    Result result(PQexec(conn_, sql.c_str()), PQclear);
    Check(conn_, result, sql.substr(0, 60));
}

std::string PostgresDb::NumberPlaceholders(const std::string& sql) {
    std::string out;
    int n = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted) out += "$" + std::to_string(++n);
        else out += c;
    }
    return out;
}

std::vector<SqlRow> PostgresDb::Query(const std::string& sql, const std::vector<SqlValue>& params) {
    auto it = prepared_.find(sql);
    if (it == prepared_.end()) {
        const std::string name = "s" + std::to_string(prepared_.size() + 1);
        Result result(PQprepare(conn_, name.c_str(), NumberPlaceholders(sql).c_str(), 0, nullptr), PQclear);
        Check(conn_, result, "cannot prepare " + sql.substr(0, 60));
        it = prepared_.emplace(sql, name).first;
    }
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    for (size_t i = 0; i < params.size(); ++i) {
        if (std::holds_alternative<std::monostate>(params[i])) continue;
        texts[i] = AsText(params[i]);
        values[i] = texts[i].c_str();
    }
    Result result(PQexecPrepared(conn_, it->second.c_str(), int(params.size()), values.data(), nullptr, nullptr, 0),
                  PQclear);
    Check(conn_, result, "cannot run " + sql.substr(0, 60));
    std::vector<SqlRow> rows;
    const int count = PQntuples(result.get()), columns = PQnfields(result.get());
    rows.reserve(size_t(count));
    for (int r = 0; r < count; ++r) {
        SqlRow row;
        row.reserve(size_t(columns));
        for (int c = 0; c < columns; ++c) {
            if (PQgetisnull(result.get(), r, c)) row.emplace_back(std::monostate{});
            else row.emplace_back(std::string(PQgetvalue(result.get(), r, c), size_t(PQgetlength(result.get(), r, c))));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace zl::stats
