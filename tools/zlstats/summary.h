// The figures of the dashboard over a period [from, to): downloads begun,
// completed, verified, repaired and failed with the top failure events, the
// peers' share of the bytes overall and per hour, the spread of download
// speeds and times, and the systems of the machines seen.
//
// Whole hours are read from the hourly sums; the partial hours at either end
// of the period from the events themselves, so any period is exact.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/zlstats/sql_db.h"

namespace zl::stats {

struct HourFigures {
    int64_t hour = 0;  // its first second
    int64_t server_bytes = 0, peer_bytes = 0, events = 0;
};

struct Summary {
    int64_t from = 0, to = 0;
    int64_t events = 0, machines = 0;
    int64_t begun = 0, completed = 0, verified = 0, repaired = 0, failed = 0;
    std::map<std::string, int64_t> by_code;
    int64_t server_bytes = 0, peer_bytes = 0;
    std::vector<HourFigures> hours;                             // hours with events, in order
    std::map<int, int64_t> speed_buckets, time_buckets;         // SpreadBucket -> completed downloads
    std::map<std::string, int64_t> os, memory, cpu_arch;        // machines by system text

    double PeerShare() const;  // Σ peer / (Σ server + Σ peer); 0 without bytes
};

Summary Summarize(SqlDb& db, int64_t from, int64_t to);

// The summary as the JSON of GET /api/summary.
std::string SummaryJson(const Summary& s);

// "Windows 7 SP1, 64-bit" and the like for an OS text ("6116412" -> code 611, 64, code page 2).
std::string OsLabel(const std::string& os);
// Memory in whole GiB classes ("8 GiB") from a byte count text; "unknown" for "".
std::string MemoryLabel(const std::string& bytes);

}  // namespace zl::stats
