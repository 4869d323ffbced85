#include "tools/zlstats/sql_db.h"

#include "tools/zlstats/postgres_db.h"
#include "tools/zlstats/sqlite_db.h"

namespace zl::stats {

int64_t AsInt(const SqlValue& v) {
    if (const auto* i = std::get_if<int64_t>(&v)) return *i;
    if (const auto* s = std::get_if<std::string>(&v)) {
        if (s->empty()) return 0;
        // PostgreSQL's sum() of bigints is a numeric, possibly with a fraction part.
        return static_cast<int64_t>(std::stold(*s));
    }
    return 0;
}

std::string AsText(const SqlValue& v) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
    return {};
}

bool IsPostgresUrl(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<SqlDb> OpenDatabase(const std::string& target) {
    if (IsPostgresUrl(target)) return std::make_unique<PostgresDb>(target);
    return std::make_unique<SqliteDb>(target);
}

std::string RedactedTarget(const std::string& target) {
    if (!IsPostgresUrl(target)) return target;
    const size_t scheme = target.find("://") + 3;
    const size_t at = target.find('@', scheme);
    const size_t colon = target.find(':', scheme);
    if (at == std::string::npos || colon == std::string::npos || colon > at) return target;
    return target.substr(0, colon + 1) + "***" + target.substr(at);
}

}  // namespace zl::stats
