// The per-second figures of a task's transfer statistics that depend only on
// their inputs: the rate tier that paces the worker loop, the connection
// budget, the upload pass quota, the allowed rates under the speed limits and
// the time-remaining estimate. Owned by the statistics layer of the task
// (TWorkWithTransStatis), which feeds them through TransferStatistics.
#pragma once
#include <cstdint>

namespace zl {

// "No limit" as a rate: 1000 MiB/s.
inline constexpr int64_t kUnlimitedRate = 1048576000;
// The largest speed limit a task takes, in KiB/s; above it a limit reads as "no limit".
inline constexpr int32_t kMaxSpeedLimitKib = 32766;
// Nobody is ever held below 3 KiB/s, whatever the limit.
inline constexpr int64_t kMinimumAllowedRate = 3072;
// Defaults before the first statistics pass.
inline constexpr int32_t kDefaultConnectionBudget = 52;
inline constexpr int32_t kDefaultPassQuota = 6;
inline constexpr int32_t kDefaultFullPassPeriod = 6;
inline constexpr int32_t kDefaultSlowUploadPeriod = 18;

// How busy the worker loop is: a fast task polls its peers more often and
// serves every peer fully less often.
struct RatePace {
    int32_t tier = 5;                // 1 (fastest) .. 5
    int32_t full_pass_period = 5;    // every n-th peer pass serves all peers
    int32_t slow_upload_period = 15; // every n-th pass serves slow uploaders
    uint32_t loop_sleep_ms = 6;      // tier + 1
};

// Pace for the bytes moved in the last second.
RatePace PaceForRate(int64_t bytes_per_second);

// Connections a task may hold: one per 4 KiB/s of traffic plus 8, at least 52.
int32_t ConnectionBudget(int64_t download_rate, int64_t upload_rate);

// BitTorrent peers with queued output served per upload loop: 8..20.
int32_t PassQuota(int64_t upload_rate);

// Allowed rate for a limit in KiB/s (0, negative or overflowing: no limit);
// never below 3072 B/s.
int64_t AllowedRate(int32_t limit_kib);

// Seconds left at `download_rate`: 0 below 1 KiB/s, or when the task finished
// and is no longer downloading. The product is formed in 64 bits (a 4 GiB
// file overflows 32); the result is capped at the largest 32-bit value.
int32_t TimeRemainingSeconds(int64_t piece_length, int64_t piece_count, int64_t finished_pieces,
                             int64_t download_rate, uint64_t completion_time, bool downloading);

// Position in the active list up to which choked peers are unchoked again.
int64_t UnchokeLimit(int64_t average_download_speed, int32_t pass_quota);

// A task speed-limit change: direction 0 sets the upload limit, 1 the
// download limit; any other direction is refused (false). A value outside
// 0..32766 KiB/s becomes 0, "no limit".
bool ApplySpeedLimit(int32_t direction, int32_t kib_per_second, int32_t& upload_limit_kib,
                     int32_t& download_limit_kib);
int32_t NormaliseSpeedLimitKib(int32_t kib_per_second);

}  // namespace zl
