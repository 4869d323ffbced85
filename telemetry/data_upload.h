// The uploader: events reported by any thread wait in a queue; the thread
// "CollectDataUpload" drains it every second into the statistics component
// and posts the batch (again after every 20 events, so a burst is not lost).
// Stopping drains and posts once more, with short time limits, so the last
// events of a run (the exit event) still reach the server.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "engine/base/clock.h"
#include "engine/base/qthread.h"
#include "telemetry/data_statistics.h"
#include "telemetry/event_body.h"

namespace zl {

struct TelemetrySettings {
    std::string config_path;  // the configuration file (with the submission URLs)
    UploadTexts texts;
    std::string session_id;
    std::string ca_file;  // certificates the posts trust instead of the system's store
    uint32_t drain_interval_ms = 1000;
    PostLimits limits;                        // each post while running
    PostLimits final_limits{1000, 2000};      // the last post when stopping
    size_t max_queued_events = 10000;         // beyond this, new events are dropped
    std::optional<InventorySources> inventory;  // the running system when empty
    Clock* clock = nullptr;                   // SystemClock() when null
};

class DataUpload final : public QThread {
public:
    // Without a poster, the posts go through libcurl (CurlFormPoster with the settings' CA file).
    explicit DataUpload(TelemetrySettings settings, std::unique_ptr<FormPoster> poster = nullptr);
    ~DataUpload() override;

    // Enabled by a configuration path, with GameID, AppVersion and GVersion set.
    bool Ready() const { return ready_; }

    // Builds the event's body (increases counted under the queue lock) and queues it.
    void Report(const std::string& code, const EventValues& values, int inventory_flags);
    // Queues an already built event (tests; an empty code and body is logged, not sent).
    void Enqueue(std::string code, std::string body, int inventory_flags);

    size_t QueuedEvents();
    uint64_t DroppedEvents() const { return dropped_.load(); }
    CDataStatisticsImp& Statistics() { return statistics_; }

    void Run() override;
    void Refresh() override {}

private:
    struct Queued {
        std::string code;
        std::string body;
        int flags;
    };
    // Moves every queued event into batches and posts them; the `last` drain
    // (at stop) gives up after the first batch that no server took.
    void Drain(bool last);

    TelemetrySettings settings_;
    bool ready_;
    CDataStatisticsImp statistics_;

    std::mutex queue_mutex_;
    std::deque<Queued> queue_;       // guarded by queue_mutex_
    IncreaseTracker increases_;      // guarded by queue_mutex_
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace zl
