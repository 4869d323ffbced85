// The statistics layer of a task: the transfer statistics of the run (bytes
// per second, rates, averages, the time estimate, the download and upload
// allowances from the speed limits, the loop's pace and the connection
// budget), the byte counters the status shows and the seconds without data.
// The peer layer above counts into it and starts it when the run's peers are
// made; it sits on the piece layer, whose figures the estimate reads.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/core/sched/transfer_statistics.h"
#include "engine/core/task/task_work_with_pieces.h"

namespace zl {

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    explicit TWorkWithTransStatis(EngineContext& context);

    void Reset(ResetScope scope) override;
    // Takes the speed limits and budgets set through the interface (under the task lock).
    void ApplyPendingChanges() override;

    // Once a second: speeds, estimates, the loop sleep, the live counters;
    // sets the per-second flag. The peer layer adds its figures.
    virtual void StatisticsPass(uint64_t now);
    // Uptime seconds since the last payload arrived, counted from the first
    // statistics pass of the run at which the task had a source candidate
    // (0 while serving only).
    virtual uint32_t SecondsWithoutData();

protected:
    // The run's peers are made: the statistics start from the task's limits.
    void StartStatistics();
    bool StatisticsStarted() const { return statistics_started_; }
    TransferStatistics& Statistics() { return statistics_; }
    // Counts the seconds without payload once the run had a source candidate.
    void NoteDataSecond(bool had_candidates);

    // Counted by the peers of this run (reset with the run).
    uint64_t http_bytes_ = 0;
    uint64_t peer_bytes_ = 0;
    uint64_t uploaded_bytes_ = 0;
    int32_t current_speed_ = 0;
    int32_t time_remaining_ = 0;
    uint32_t loop_sleep_ms_ = 0;  // set from the download rate; 0 means the default
    std::atomic<bool> per_second_flag_{false};

    // The limits and budgets as the worker applies them, copied under the task lock.
    int32_t download_limit_kib_ = 0;
    int32_t upload_limit_kib_ = 0;
    int32_t connection_budget_ = 52;
    bool serve_only_ = false;

private:
    // Copies the limits and budgets from the settings (under the task lock).
    void TakeSettings();

    TransferStatistics statistics_;
    bool statistics_started_ = false;

    // Seconds without payload (worker thread).
    bool data_clock_started_ = false;
    uint64_t payload_at_last_data_ = 0;
    uint32_t last_data_uptime_ = 0;
};

}  // namespace zl
