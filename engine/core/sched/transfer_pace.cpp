#include "engine/core/sched/transfer_pace.h"

#include <algorithm>
#include <limits>

namespace zl {

RatePace PaceForRate(int64_t bytes) {
    RatePace pace;
    if (bytes >= 3145729) {
        pace.tier = 1;
        pace.full_pass_period = 14;
    } else if (bytes >= 1536001) {
        pace.tier = 2;
        pace.full_pass_period = 9;
    } else if (bytes >= 819201) {
        pace.tier = 3;
        pace.full_pass_period = 7;
    } else if (bytes < 307201) {
        pace.tier = 5;
        pace.full_pass_period = 5;
    } else {
        pace.tier = 4;
        pace.full_pass_period = 6;
    }
    pace.slow_upload_period = 3 * pace.full_pass_period;
    pace.loop_sleep_ms = uint32_t(pace.tier + 1);
    return pace;
}

int32_t ConnectionBudget(int64_t download_rate, int64_t upload_rate) {
    const int64_t traffic = std::max<int64_t>(download_rate, 0) + std::max<int64_t>(upload_rate, 0);
    // Above 20480 the task settings would treat the budget as invalid.
    return int32_t(std::clamp<int64_t>(traffic / 4096 + 8, kDefaultConnectionBudget, 20480));
}

int32_t PassQuota(int64_t upload_rate) {
    return int32_t(std::min<int64_t>(std::max<int64_t>(upload_rate / 8192 - 8, 8), 20));
}

int64_t AllowedRate(int32_t limit_kib) {
    const int64_t limit = limit_kib > 0 ? int64_t(limit_kib) * 1024 : kUnlimitedRate;
    return std::max(limit, kMinimumAllowedRate);
}

int32_t TimeRemainingSeconds(int64_t piece_length, int64_t piece_count, int64_t finished_pieces,
                             int64_t download_rate, uint64_t completion_time, bool downloading) {
    if (download_rate < 1024) return 0;
    if (completion_time != 0 && !downloading) return 0;
    const int64_t missing = std::max<int64_t>(piece_count - finished_pieces, 0);
    if (piece_length <= 0 || missing == 0) return 0;
    // piece length (< 2^31) x pieces (< 2^31) fits in 63 bits.
    const int64_t seconds = piece_length * missing / download_rate;
    return int32_t(std::min<int64_t>(seconds, std::numeric_limits<int32_t>::max()));
}

int64_t UnchokeLimit(int64_t average_download_speed, int32_t pass_quota) {
    return std::max<int64_t>(average_download_speed, 0) / 8192 + 8 * int64_t(pass_quota) + 32;
}

int32_t NormaliseSpeedLimitKib(int32_t kib) { return kib < 0 || kib > kMaxSpeedLimitKib ? 0 : kib; }

bool ApplySpeedLimit(int32_t direction, int32_t kib, int32_t& upload_limit_kib, int32_t& download_limit_kib) {
    if (direction != 0 && direction != 1) return false;
    (direction == 0 ? upload_limit_kib : download_limit_kib) = NormaliseSpeedLimitKib(kib);
    return true;
}

}  // namespace zl
