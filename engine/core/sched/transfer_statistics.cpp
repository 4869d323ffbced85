#include "engine/core/sched/transfer_statistics.h"

#include <algorithm>
#include <limits>

namespace zl {
namespace {

int32_t ToInt32(int64_t value) {
    return int32_t(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

int64_t NonNegative(int64_t bytes) { return bytes > 0 ? bytes : 0; }

constexpr int64_t kMaxDebtSeconds = 8;

}  // namespace

TransferStatistics::TransferStatistics(Clock& clock) : clock_(clock) { Start(); }

void TransferStatistics::Start(int32_t download_limit_kib, int32_t upload_limit_kib) {
    start_ms_ = last_pass_ms_ = clock_.TickMs();
    received_second_ = sent_second_ = payload_second_ = 0;
    download_debt_ = upload_debt_ = 0;
    download_rate_ = upload_rate_ = 0;
    downloaded_total_ = uploaded_total_ = 0;
    current_speed_ = average_download_ = average_upload_ = time_remaining_ = 0;
    pace_ = RatePace{5, kDefaultFullPassPeriod, kDefaultSlowUploadPeriod, 6};
    connection_budget_ = kDefaultConnectionBudget;
    pass_quota_ = kDefaultPassQuota;
    allowed_download_ = AllowedRate(download_limit_kib);
    allowed_upload_ = AllowedRate(upload_limit_kib);
}

void TransferStatistics::AddReceived(int64_t bytes) {
    received_second_ += NonNegative(bytes);
}

void TransferStatistics::AddSent(int64_t bytes) {
    sent_second_ += NonNegative(bytes);
}

void TransferStatistics::AddPayload(int64_t bytes) { payload_second_ += NonNegative(bytes); }

int64_t TransferStatistics::DownloadAllowance() const {
    return std::max<int64_t>(allowed_download_ - received_second_ - download_debt_, 0);
}

int64_t TransferStatistics::UploadAllowance() const {
    return std::max<int64_t>(allowed_upload_ - sent_second_ - upload_debt_, 0);
}

bool TransferStatistics::PassDue() const { return clock_.TickMs() - last_pass_ms_ >= 1000; }

void TransferStatistics::Pass(const StatisticsPassInput& in) {
    const uint64_t now_ms = clock_.TickMs();
    last_pass_ms_ = now_ms;
    const bool downloading = !in.complete;

    const int64_t basis = downloading ? received_second_ : payload_second_;
    current_speed_ = downloading ? ToInt32((3 * payload_second_ + current_speed_) / 4) : 0;
    downloaded_total_ += uint64_t(basis);
    uploaded_total_ += uint64_t(sent_second_);

    pace_ = PaceForRate(downloading ? received_second_ : sent_second_);

    // A task stopped in its first second reports its totals, not infinity.
    const uint64_t elapsed = std::max<uint64_t>((now_ms - start_ms_) / 1000, 1);
    if (downloading) average_download_ = ToInt32(int64_t(downloaded_total_ / elapsed));
    average_upload_ = ToInt32(int64_t(uploaded_total_ / elapsed));

    time_remaining_ = TimeRemainingSeconds(in.piece_length, in.piece_count, in.finished_pieces, download_rate_,
                                           in.completion_time, downloading);

    connection_budget_ = ConnectionBudget(download_rate_, upload_rate_);
    pass_quota_ = PassQuota(upload_rate_);

    // What went over this second's allowance is charged to the next seconds
    // (at most 8 seconds' worth), so a limit holds even when peers can only
    // stop reading at a block boundary.
    const int64_t previous_download = allowed_download_;
    const int64_t previous_upload = allowed_upload_;
    allowed_download_ = AllowedRate(in.download_limit_kib);
    allowed_upload_ = AllowedRate(in.upload_limit_kib);
    download_debt_ =
        std::min(NonNegative(received_second_ + download_debt_ - previous_download), kMaxDebtSeconds * allowed_download_);
    upload_debt_ =
        std::min(NonNegative(sent_second_ + upload_debt_ - previous_upload), kMaxDebtSeconds * allowed_upload_);
    received_second_ = sent_second_ = payload_second_ = 0;
}

void TransferStatistics::SetRates(int64_t download_rate, int64_t upload_rate) {
    download_rate_ = NonNegative(download_rate);
    upload_rate_ = NonNegative(upload_rate);
}


}  // namespace zl
