#include "tools/zlstats/summary.h"

#include <json/json.h>

#include <algorithm>

#include "tools/zlstats/event_codes.h"
#include "tools/zlstats/event_store.h"

namespace zl::stats {
namespace {

constexpr int64_t kHour = 3600;

int64_t FloorHour(int64_t t) { return t - ((t % kHour) + kHour) % kHour; }

void AddHour(std::map<int64_t, HourFigures>& hours, int64_t hour, int64_t events, int64_t server, int64_t peer) {
    HourFigures& h = hours[hour];
    h.hour = hour;
    h.events += events;
    h.server_bytes = SaturatingAdd(h.server_bytes, server);
    h.peer_bytes = SaturatingAdd(h.peer_bytes, peer);
}

void CountCode(Summary& s, const std::string& code, int64_t n) {
    s.events += n;
    s.by_code[code] += n;
}

// Whole hours [h0, h1) from the sums.
void ReadHourly(SqlDb& db, int64_t h0, int64_t h1, Summary& s, std::map<int64_t, HourFigures>& hours) {
    for (const SqlRow& r :
         db.Query("SELECT hour, code, events, server_bytes, peer_bytes FROM hourly WHERE hour >= ? AND hour < ?",
                  {h0, h1})) {
        CountCode(s, AsText(r[1]), AsInt(r[2]));
        AddHour(hours, AsInt(r[0]), AsInt(r[2]), AsInt(r[3]), AsInt(r[4]));
    }
    for (const SqlRow& r : db.Query("SELECT kind, bucket, sum(downloads) FROM hourly_spread WHERE hour >= ? AND "
                                    "hour < ? GROUP BY kind, bucket",
                                    {h0, h1})) {
        auto& buckets = AsText(r[0]) == "speed" ? s.speed_buckets : s.time_buckets;
        buckets[int(AsInt(r[1]))] += AsInt(r[2]);
    }
}

// Seconds [a, b) of a partial hour from the events.
void ReadEvents(SqlDb& db, int64_t a, int64_t b, Summary& s, std::map<int64_t, HourFigures>& hours) {
    if (a >= b) return;
    for (const SqlRow& r : db.Query("SELECT received_at, code, in_http_bytes, in_p2p_bytes, average_speed, total_time "
                                    "FROM events WHERE received_at >= ? AND received_at < ?",
                                    {a, b})) {
        const std::string code = AsText(r[1]);
        CountCode(s, code, 1);
        AddHour(hours, FloorHour(AsInt(r[0])), 1, AsInt(r[2]), AsInt(r[3]));
        if (code == kCodeCompleted) {
            ++s.speed_buckets[SpreadBucket(uint64_t(AsInt(r[4])))];
            ++s.time_buckets[SpreadBucket(uint64_t(AsInt(r[5])))];
        }
    }
}

}  // namespace

double Summary::PeerShare() const {
    const int64_t total = server_bytes + peer_bytes;
    return total > 0 ? double(peer_bytes) / double(total) : 0.0;
}

Summary Summarize(SqlDb& db, int64_t from, int64_t to) {
    Summary s;
    s.from = from;
    s.to = to;
    if (to <= from) return s;
    std::map<int64_t, HourFigures> hours;
    const int64_t h0 = FloorHour(from) == from ? from : FloorHour(from) + kHour;
    const int64_t h1 = FloorHour(to);
    // One read transaction, so the sums and the events agree with each other.
    db.Exec(db.GetDialect() == Dialect::kPostgres ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN");
    try {
        if (h0 < h1) {
            ReadEvents(db, from, h0, s, hours);
            ReadHourly(db, h0, h1, s, hours);
            ReadEvents(db, h1, to, s, hours);
        } else {
            ReadEvents(db, from, to, s, hours);
        }
        for (const SqlRow& r : db.Query("SELECT os, memory_total, cpu_arch, count(*) FROM machines "
                                        "WHERE last_at >= ? AND first_at < ? GROUP BY os, memory_total, cpu_arch",
                                        {from, to})) {
            const int64_t n = AsInt(r[3]);
            s.machines += n;
            s.os[OsLabel(AsText(r[0]))] += n;
            s.memory[MemoryLabel(AsText(r[1]))] += n;
            const std::string arch = AsText(r[2]);
            s.cpu_arch[arch.empty() ? "unknown" : arch] += n;
        }
        db.Exec("COMMIT");
    } catch (...) {
        try {
            db.Exec("ROLLBACK");
        } catch (const SqlError&) {
        }
        throw;
    }
    for (const auto& [code, n] : s.by_code) {
        if (code == kCodeBegun) s.begun += n;
        if (code == kCodeCompleted) s.completed += n;
        if (code == kCodeVerified) s.verified += n;
        if (code == kCodeRepaired) s.repaired += n;
        if (EndsInFailure(code)) s.failed += n;
    }
    for (auto& [hour, h] : hours) {
        s.server_bytes = SaturatingAdd(s.server_bytes, h.server_bytes);
        s.peer_bytes = SaturatingAdd(s.peer_bytes, h.peer_bytes);
        s.hours.push_back(h);
    }
    return s;
}

std::string OsLabel(const std::string& os) {
    if (os.size() < 4) return os.empty() ? "unknown" : "OS " + os;
    const char page = os.back();
    const std::string bits = os.substr(os.size() - 3, 2);
    const std::string code = os.substr(0, os.size() - 3);
    if (bits != "64" && bits != "32") return "OS " + os;
    const char* pages = page == '1' ? "Western" : page == '0' ? "Chinese" : "other";
    return "OS " + code + ", " + bits + "-bit, " + pages + " code page";
}

std::string MemoryLabel(const std::string& bytes) {
    if (bytes.empty()) return "unknown";
    const long double gib = std::stold(bytes) / (1024.0L * 1024 * 1024);
    // Usable memory is a little under the installed size: round to the nearest GiB.
    const int64_t whole = std::max<int64_t>(1, int64_t(gib + 0.5L));
    return std::to_string(whole) + " GiB";
}

std::string SummaryJson(const Summary& s) {
    Json::Value root(Json::objectValue);
    root["from"] = Json::Int64(s.from);
    root["to"] = Json::Int64(s.to);
    root["events"] = Json::Int64(s.events);
    root["machines"] = Json::Int64(s.machines);
    Json::Value& d = root["downloads"];
    d["begun"] = Json::Int64(s.begun);
    d["completed"] = Json::Int64(s.completed);
    d["verified"] = Json::Int64(s.verified);
    d["repaired"] = Json::Int64(s.repaired);
    d["failed"] = Json::Int64(s.failed);

    std::vector<std::pair<std::string, int64_t>> failures;
    for (const auto& [code, n] : s.by_code)
        if (IsFailureEvent(code)) failures.emplace_back(code, n);
    std::stable_sort(failures.begin(), failures.end(), [](auto& a, auto& b) { return a.second > b.second; });
    if (failures.size() > 10) failures.resize(10);
    Json::Value& top = root["top_failures"] = Json::Value(Json::arrayValue);
    for (const auto& [code, n] : failures) {
        Json::Value f;
        f["code"] = code;
        f["name"] = EventName(code);
        f["count"] = Json::Int64(n);
        top.append(f);
    }
    Json::Value& codes = root["by_code"] = Json::Value(Json::objectValue);
    for (const auto& [code, n] : s.by_code) codes[code] = Json::Int64(n);

    Json::Value& bytes = root["bytes"];
    bytes["server"] = Json::Int64(s.server_bytes);
    bytes["peer"] = Json::Int64(s.peer_bytes);
    bytes["peer_share"] = s.PeerShare();
    Json::Value& hourly = root["hourly"] = Json::Value(Json::arrayValue);
    for (const HourFigures& h : s.hours) {
        Json::Value v;
        v["hour"] = Json::Int64(h.hour);
        v["events"] = Json::Int64(h.events);
        v["server"] = Json::Int64(h.server_bytes);
        v["peer"] = Json::Int64(h.peer_bytes);
        const int64_t total = h.server_bytes + h.peer_bytes;
        v["peer_share"] = total > 0 ? double(h.peer_bytes) / double(total) : 0.0;
        hourly.append(v);
    }
    // Histograms as [low, high) bounds with counts; the bucket k spans [2^(k-1), 2^k).
    const auto spread = [](const std::map<int, int64_t>& buckets) {
        Json::Value out(Json::arrayValue);
        for (const auto& [bucket, n] : buckets) {
            Json::Value b;
            b["low"] = Json::UInt64(bucket == 0 ? 0 : uint64_t(1) << (bucket - 1));
            b["high"] = Json::UInt64(bucket == 0 ? 1 : bucket >= 64 ? UINT64_MAX : uint64_t(1) << bucket);
            b["downloads"] = Json::Int64(n);
            out.append(b);
        }
        return out;
    };
    root["speeds"] = spread(s.speed_buckets);
    root["times"] = spread(s.time_buckets);
    const auto counts = [](const std::map<std::string, int64_t>& m) {
        Json::Value out(Json::arrayValue);
        std::vector<std::pair<std::string, int64_t>> v(m.begin(), m.end());
        std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.second > b.second; });
        for (const auto& [label, n] : v) {
            Json::Value e;
            e["label"] = label;
            e["machines"] = Json::Int64(n);
            out.append(e);
        }
        return out;
    };
    Json::Value& systems = root["systems"];
    systems["os"] = counts(s.os);
    systems["memory"] = counts(s.memory);
    systems["cpu"] = counts(s.cpu_arch);
    // No client reports its disk; the member says so rather than showing nothing.
    systems["disk"] = Json::Value(Json::arrayValue);
    systems["disk_note"] = "the clients' inventory does not include the disk";
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

}  // namespace zl::stats
