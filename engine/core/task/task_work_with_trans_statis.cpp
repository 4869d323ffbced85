#include "engine/core/task/task_work_with_trans_statis.h"

#include "engine/core/api/engine_context.h"

namespace zl {

TWorkWithTransStatis::TWorkWithTransStatis(EngineContext& context)
    : TWorkWithPieces(context), statistics_(context.GetClock()) {}

void TWorkWithTransStatis::TakeSettings() {
    download_limit_kib_ = Settings().download_limit_kib;
    upload_limit_kib_ = Settings().upload_limit_kib;
    connection_budget_ = Settings().connection_budget;
    serve_only_ = Settings().serve_only;
}

void TWorkWithTransStatis::StartStatistics() {
    {
        ScopedLock guard(Lock());
        TakeSettings();
    }
    statistics_.Start(download_limit_kib_, upload_limit_kib_);
    statistics_started_ = true;
}

void TWorkWithTransStatis::ApplyPendingChanges() {
    TWorkWithPieces::ApplyPendingChanges();
    TakeSettings();
}

void TWorkWithTransStatis::StatisticsPass(uint64_t) {
    if (statistics_started_) {
        StatisticsPassInput input;
        input.complete = figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count;
        input.piece_length = figures_.piece_count > 0 && PieceMap() ? PieceMap()->PieceLength() : 0;
        input.piece_count = figures_.piece_count;
        input.finished_pieces = figures_.finished_pieces;
        input.completion_time = live_.completion_time;
        input.download_limit_kib = download_limit_kib_;
        input.upload_limit_kib = upload_limit_kib_;
        statistics_.Pass(input);
        current_speed_ = statistics_.CurrentDownloadSpeed();
        time_remaining_ = statistics_.TimeRemaining();
        live_.average_download_speed = statistics_.AverageDownloadSpeed();
        live_.average_upload_speed = statistics_.AverageUploadSpeed();
        // The loop's pause follows the rate: 2 ms above 3 MiB/s, 6 ms when slow.
        loop_sleep_ms_ = statistics_.Pace().loop_sleep_ms;
        // The connection budget grows with the rates (52 for a slow task).
        connection_budget_ = statistics_.ConnectionBudgetFigure();
        ScopedLock guard(Lock());
        Settings().connection_budget = connection_budget_;
    }
    live_.http_bytes = http_bytes_;
    live_.peer_bytes = peer_bytes_;
    live_.downloaded_total = http_bytes_ + peer_bytes_;
    live_.uploaded_total = uploaded_bytes_;
    live_.current_speed = current_speed_;
    live_.time_remaining = time_remaining_;
    per_second_flag_ = true;
}

void TWorkWithTransStatis::NoteDataSecond(bool had_candidates) {
    // Any task type counts seconds without payload once it has a source, so
    // a task whose sources all fail gives up after the no-data limit instead
    // of running forever. A torrent task without sources waits for peers.
    if (!had_candidates) return;
    const uint32_t uptime = Context().UptimeSeconds();
    const uint64_t payload = http_bytes_ + peer_bytes_;
    if (!data_clock_started_ || payload != payload_at_last_data_) {
        data_clock_started_ = true;
        payload_at_last_data_ = payload;
        last_data_uptime_ = uptime;
    }
}

uint32_t TWorkWithTransStatis::SecondsWithoutData() {
    // Serving only, no data is expected.
    if (!data_clock_started_ || serve_only_) return 0;
    const uint32_t uptime = Context().UptimeSeconds();
    return uptime >= last_data_uptime_ ? uptime - last_data_uptime_ : 0;
}

void TWorkWithTransStatis::Reset(ResetScope scope) {
    statistics_started_ = false;
    http_bytes_ = peer_bytes_ = uploaded_bytes_ = 0;
    current_speed_ = 0;
    time_remaining_ = 0;
    per_second_flag_ = false;
    data_clock_started_ = false;
    payload_at_last_data_ = 0;
    last_data_uptime_ = 0;
    TWorkWithPieces::Reset(scope);
}

}  // namespace zl
