// A task's transfer counters and the once-a-second pass that turns them into
// speeds, averages, the time estimate, the loop's pace, the connection budget
// and the per-second download and upload allowances. Owned by the statistics
// layer of the task (TWorkWithTransStatis): the peer pass adds the bytes each
// peer moved, asks for the allowances, and runs Pass once a second; the
// 4-second rate snapshot hands in the summed peer rates.
#pragma once
#include <cstdint>

#include "engine/base/clock.h"
#include "engine/core/sched/transfer_pace.h"

namespace zl {

// What the pass needs to know about the task, read by the owner each second.
struct StatisticsPassInput {
    bool complete = false;        // all pieces finished
    int64_t piece_length = 0;
    int64_t piece_count = 0;
    int64_t finished_pieces = 0;
    uint64_t completion_time = 0; // engine seconds when the data completed, 0 while incomplete
    int32_t download_limit_kib = 0;
    int32_t upload_limit_kib = 0;
};

class TransferStatistics {
public:
    explicit TransferStatistics(Clock& clock);

    // The worker thread starts: every counter and figure back to its initial
    // value, the averages measured from now, the allowances from the limits.
    void Start(int32_t download_limit_kib = 0, int32_t upload_limit_kib = 0);

    // Accounting by the peer pass.
    void AddReceived(int64_t bytes);  // read from a socket
    void AddSent(int64_t bytes);      // written to a socket
    void AddPayload(int64_t bytes);   // block bytes the piece map accepted

    // Bytes the peers may still read / write in this second (0: nothing now).
    int64_t DownloadAllowance() const;
    int64_t UploadAllowance() const;

    // True once 1000 ms of tick count have passed since the last pass (or Start).
    bool PassDue() const;
    // The per-second pass; clears the per-second counters.
    void Pass(const StatisticsPassInput& input);

    // Summed per-peer rates from the latest rate snapshot.
    void SetRates(int64_t download_rate, int64_t upload_rate);

    // Figures published in the task status.
    uint64_t DownloadedTotal() const { return downloaded_total_; }
    uint64_t UploadedTotal() const { return uploaded_total_; }
    int32_t CurrentDownloadSpeed() const { return current_speed_; }
    int32_t AverageDownloadSpeed() const { return average_download_; }
    int32_t AverageUploadSpeed() const { return average_upload_; }
    int32_t TimeRemaining() const { return time_remaining_; }

    // Figures that steer the task.
    int64_t DownloadRate() const { return download_rate_; }
    int64_t UploadRate() const { return upload_rate_; }
    int64_t AllowedDownloadRate() const { return allowed_download_; }
    int64_t AllowedUploadRate() const { return allowed_upload_; }
    const RatePace& Pace() const { return pace_; }
    int32_t ConnectionBudgetFigure() const { return connection_budget_; }
    int32_t PassQuotaFigure() const { return pass_quota_; }
    int64_t UnchokeLimitFigure() const { return UnchokeLimit(average_download_, pass_quota_); }

    // Counters of the current second (before the next pass clears them).
    int64_t ReceivedThisSecond() const { return received_second_; }
    int64_t SentThisSecond() const { return sent_second_; }
    int64_t PayloadThisSecond() const { return payload_second_; }

private:
    Clock& clock_;
    uint64_t start_ms_ = 0;
    uint64_t last_pass_ms_ = 0;

    int64_t received_second_ = 0;
    int64_t sent_second_ = 0;
    int64_t payload_second_ = 0;
    // Bytes read or written beyond last second's allowance (a peer can only
    // stop at a block boundary); charged to the next seconds so the limit holds.
    int64_t download_debt_ = 0;
    int64_t upload_debt_ = 0;

    int64_t download_rate_ = 0;
    int64_t upload_rate_ = 0;
    int64_t allowed_download_ = kUnlimitedRate;
    int64_t allowed_upload_ = kUnlimitedRate;

    uint64_t downloaded_total_ = 0;
    uint64_t uploaded_total_ = 0;
    int32_t current_speed_ = 0;
    int32_t average_download_ = 0;
    int32_t average_upload_ = 0;
    int32_t time_remaining_ = 0;
    RatePace pace_{5, kDefaultFullPassPeriod, kDefaultSlowUploadPeriod, 6};
    int32_t connection_budget_ = kDefaultConnectionBudget;
    int32_t pass_quota_ = kDefaultPassQuota;
};

}  // namespace zl
