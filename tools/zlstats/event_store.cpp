#include "tools/zlstats/event_store.h"

#include <openssl/sha.h>

#include <bit>
#include <limits>
#include <map>
#include <tuple>

#include "engine/base/text.h"
#include "tools/zlstats/event_codes.h"

namespace zl::stats {
namespace {

std::string Sha1Hex(const std::string& text) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return HexEncode(digest, sizeof digest);
}

int64_t Clamp(uint64_t v) {
    return v > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(v);
}

struct HourSums {
    int64_t events = 0, server = 0, peer = 0;
};

struct MachineSeen {
    std::string os, memory_total, cpu_arch;
    int64_t first = 0, last = 0;
};

const char* kInsertSeen =
    "INSERT INTO seen(mach_id, session_id, sequence, digest, last_at) VALUES(?, ?, ?, ?, ?) "
    "ON CONFLICT(mach_id, session_id, sequence, digest) DO UPDATE SET last_at = excluded.last_at "
    "WHERE seen.last_at < ? RETURNING last_at";
const char* kInsertEvent =
    "INSERT INTO events(received_at, address, code, mach_id, session_id, sequence, os, game_id, app_version, "
    "gversion, total_time, total_bytes, average_speed, http_bytes, p2p_bytes, in_http_bytes, in_p2p_bytes, "
    "progress, error_msg, info) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
// The sums stop at kMaxSum: the stored sum is first held below kMaxSum minus the addend.
const char* kAddHourly =
    "INSERT INTO hourly(hour, code, events, server_bytes, peer_bytes) VALUES(?, ?, ?, ?, ?) "
    "ON CONFLICT(hour, code) DO UPDATE SET events = hourly.events + excluded.events, "
    "server_bytes = ? + excluded.server_bytes, peer_bytes = ? + excluded.peer_bytes";
const char* kAddSpread =
    "INSERT INTO hourly_spread(hour, kind, bucket, downloads) VALUES(?, ?, ?, ?) "
    "ON CONFLICT(hour, kind, bucket) DO UPDATE SET downloads = hourly_spread.downloads + excluded.downloads";
const char* kSqliteMachine =
    "INSERT INTO machines(mach_id, os, memory_total, cpu_arch, first_at, last_at) VALUES(?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(mach_id) DO UPDATE SET os = excluded.os, "
    "memory_total = CASE WHEN excluded.memory_total <> '' THEN excluded.memory_total ELSE machines.memory_total END, "
    "cpu_arch = CASE WHEN excluded.cpu_arch <> '' THEN excluded.cpu_arch ELSE machines.cpu_arch END, "
    "first_at = min(machines.first_at, excluded.first_at), last_at = max(machines.last_at, excluded.last_at)";
const char* kPostgresMachine =
    "INSERT INTO machines(mach_id, os, memory_total, cpu_arch, first_at, last_at) VALUES(?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(mach_id) DO UPDATE SET os = excluded.os, "
    "memory_total = CASE WHEN excluded.memory_total <> '' THEN excluded.memory_total ELSE machines.memory_total END, "
    "cpu_arch = CASE WHEN excluded.cpu_arch <> '' THEN excluded.cpu_arch ELSE machines.cpu_arch END, "
    "first_at = LEAST(machines.first_at, excluded.first_at), last_at = GREATEST(machines.last_at, excluded.last_at)";

}  // namespace

int SpreadBucket(uint64_t value) { return int(std::bit_width(value)); }

std::vector<StoreCounts> StorePosts(SqlDb& db, const std::vector<const ReceivedPost*>& posts, int64_t retry_window) {
    std::vector<StoreCounts> counts(posts.size());
    // Sums are kept in key order, so that concurrent writers lock rows in one order.
    std::map<std::pair<int64_t, std::string>, HourSums> hourly;
    std::map<std::tuple<int64_t, std::string, int>, int64_t> spread;
    std::map<std::string, MachineSeen> machines;

    db.Exec("BEGIN");
    try {
        for (size_t p = 0; p < posts.size(); ++p) {
            const ReceivedPost& post = *posts[p];
            const int64_t now = post.received_at;
            for (const StatEvent& e : post.events) {
                // With a session id the key alone identifies the event, for good.
                const bool sessionless = e.session_id.empty();
                const std::string digest = sessionless ? Sha1Hex(e.code + "\n" + e.info) : std::string();
                const int64_t retry_before = sessionless ? now - retry_window : std::numeric_limits<int64_t>::min();
                const auto fresh = db.Query(kInsertSeen, {e.mach_id, e.session_id, Clamp(e.sequence), digest, now,
                                                          retry_before});
                if (fresh.empty()) {
                    ++counts[p].duplicates;
                    continue;
                }
                db.Query(kInsertEvent,
                         {now, post.address, e.code, e.mach_id, e.session_id, Clamp(e.sequence), e.os, e.game_id,
                          e.app_version, e.gversion, Clamp(e.total_time), Clamp(e.total_bytes),
                          Clamp(e.average_speed), Clamp(e.http_bytes), Clamp(e.p2p_bytes), Clamp(e.in_http_bytes),
                          Clamp(e.in_p2p_bytes), e.progress, e.error_msg, e.info});
                ++counts[p].stored;
                const int64_t hour = now - now % 3600;
                HourSums& sums = hourly[{hour, e.code}];
                ++sums.events;
                sums.server = SaturatingAdd(sums.server, Clamp(e.in_http_bytes));
                sums.peer = SaturatingAdd(sums.peer, Clamp(e.in_p2p_bytes));
                if (e.code == kCodeCompleted) {
                    ++spread[{hour, "speed", SpreadBucket(e.average_speed)}];
                    ++spread[{hour, "time", SpreadBucket(e.total_time)}];
                }
                MachineSeen& m = machines[e.mach_id];
                if (m.first == 0) m.first = now;
                m.last = now;
                m.os = e.os;
                if (!e.memory_total.empty()) m.memory_total = e.memory_total;
                if (!e.cpu_arch.empty()) m.cpu_arch = e.cpu_arch;
            }
        }
        const bool pg = db.GetDialect() == Dialect::kPostgres;
        const std::string capped_server = std::string(pg ? "LEAST" : "min") + "(hourly.server_bytes, " +
                                          std::to_string(kMaxSum) + " - excluded.server_bytes)";
        const std::string capped_peer = std::string(pg ? "LEAST" : "min") + "(hourly.peer_bytes, " +
                                        std::to_string(kMaxSum) + " - excluded.peer_bytes)";
        std::string add_hourly = kAddHourly;
        add_hourly.replace(add_hourly.find("= ? +"), 5, "= " + capped_server + " +");
        add_hourly.replace(add_hourly.find("= ? +"), 5, "= " + capped_peer + " +");
        for (const auto& [key, sums] : hourly)
            db.Query(add_hourly, {key.first, key.second, sums.events, sums.server, sums.peer});
        for (const auto& [key, n] : spread)
            db.Query(kAddSpread, {std::get<0>(key), std::get<1>(key), int64_t(std::get<2>(key)), n});
        const char* upsert = db.GetDialect() == Dialect::kPostgres ? kPostgresMachine : kSqliteMachine;
        for (const auto& [id, m] : machines) db.Query(upsert, {id, m.os, m.memory_total, m.cpu_arch, m.first, m.last});
        db.Exec("COMMIT");
    } catch (...) {
        try {
            db.Exec("ROLLBACK");
        } catch (const SqlError&) {
        }
        throw;
    }
    return counts;
}

}  // namespace zl::stats
