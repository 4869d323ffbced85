// The statistics layer of a task: transfer counters, speeds and the loop's
// sleep. Smoothing, estimates and bandwidth distribution are added by the
// transfer statistics layer; until then the statistics pass only marks the
// second and copies the counters into the live status.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/core/task_work_with_pieces.h"

namespace zl {

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    explicit TWorkWithTransStatis(EngineContext& context);

    void Reset(bool full, bool b) override;

    // --- hooks of the transfer statistics layer -------------------------
    // Once a second: speeds, estimates, the loop sleep; sets the per-second flag.
    virtual void StatisticsPass(uint64_t now);
    // Applies this task's share of the engine-wide speed limits.
    virtual void ApplyBandwidth() {}
    // Sum of the current speeds of the peers whose kind is in `mask`.
    virtual int64_t SumPeerSpeed(uint32_t /*mask*/) { return 0; }

protected:
    // Counted by the peers of this run (reset with the run).
    uint64_t http_bytes_ = 0;
    uint64_t peer_bytes_ = 0;
    uint64_t uploaded_bytes_ = 0;
    int32_t current_speed_ = 0;
    int32_t time_remaining_ = 0;
    uint32_t loop_sleep_ms_ = 0;  // set from the download rate; 0 means the default
    std::atomic<bool> per_second_flag_{false};
};

}  // namespace zl
