#include "telemetry/data_upload.h"

#include <cerrno>
#include <cstdio>
#include <exception>

#include "engine/base/engine_log.h"

namespace zl {
namespace {

constexpr int kUploadLogCategory = 38;
constexpr int kUploadLogLevel = 3;

}  // namespace

DataUpload::DataUpload(TelemetrySettings settings, std::unique_ptr<FormPoster> poster)
    : QThread(settings.clock ? *settings.clock : SystemClock()),
      settings_(std::move(settings)),
      ready_(!settings_.config_path.empty() && !settings_.texts.game_id.empty() &&
             !settings_.texts.app_version.empty() && !settings_.texts.gversion.empty()),
      statistics_(poster ? std::move(poster) : std::make_unique<CurlFormPoster>(settings_.ca_file), settings_.inventory) {
    statistics_.SetConfigFile(settings_.config_path);
    statistics_.SetSessionId(settings_.session_id);
    statistics_.SetPostLimits(settings_.limits);
}

DataUpload::~DataUpload() { Stop(); }

void DataUpload::Report(const std::string& code, const EventValues& values, int inventory_flags) {
    EventIncreases increases;
    {
        std::lock_guard lock(queue_mutex_);
        increases = increases_.Next(values);
    }
    std::string body = BuildEventBody(settings_.texts, values, increases);
    Enqueue(code, std::move(body), inventory_flags);
}

void DataUpload::Enqueue(std::string code, std::string body, int inventory_flags) {
    std::lock_guard lock(queue_mutex_);
    if (queue_.size() >= settings_.max_queued_events) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    queue_.push_back({std::move(code), std::move(body), inventory_flags});
}

size_t DataUpload::QueuedEvents() {
    std::lock_guard lock(queue_mutex_);
    return queue_.size();
}

void DataUpload::Run() {
    while (!SleepMsOrStop(settings_.drain_interval_ms)) Drain(false);
    // The last events of the run (the exit event among them) go out now.
    statistics_.SetPostLimits(settings_.final_limits);
    Drain(true);
}

void DataUpload::Drain(bool last) {
    std::deque<Queued> events;
    {
        std::lock_guard lock(queue_mutex_);
        events.swap(queue_);
    }
    if (events.empty()) return;
    ScopedLock drain_lock(Lock());
    bool added = false;
    size_t done = 0;
    for (const Queued& event : events) {
        ++done;
        if (event.code.empty() && event.body.empty()) {
            LogWrite("Data Upload Failed with Empty Code Or Body", kUploadLogCategory, kUploadLogLevel);
            continue;
        }
        try {
            if (statistics_.BatchSize() >= kMaxBatchEvents) {
                // Posts run without the thread's lock, so that a stop request gets through meanwhile.
                drain_lock.Release();
                const int result = statistics_.SubmitEventDownloadSeveral();
                drain_lock.Acquire();
                added = false;
                // At exit one failed post is enough: the rest would wait out the same server.
                if (last && result != kStatOk) {
                    LogWrite("Data Upload at exit failed; " + std::to_string(events.size() - done + 1) +
                                 " events not sent",
                             kUploadLogCategory, kUploadLogLevel);
                    return;
                }
                if (result != kStatOk && IsStopRequested()) {
                    // Stopping: what is left goes back to the queue for the exit drain,
                    // which tries once with its short limits.
                    std::lock_guard lock(queue_mutex_);
                    queue_.insert(queue_.begin(), events.begin() + std::ptrdiff_t(done - 1), events.end());
                    return;
                }
            }
            if (statistics_.AddEvent(event.code, event.body, event.flags) == kStatOk) added = true;
        } catch (const std::exception&) {
            drain_lock.Acquire();  // a post that threw left it released
            std::string text = "A exception catched in dataupload CODE : (" + event.code + ")";
            char error[48];
            std::snprintf(error, sizeof error, " ErrorCode : (%lu)", static_cast<unsigned long>(errno));
            text += error;
            if (text.size() >= 4096) text = "A exception catched in AddData";
            LogWrite(text, kUploadLogCategory, kUploadLogLevel);
        }
    }
    drain_lock.Release();
    if (added) statistics_.SubmitEventDownloadSeveral();
}

}  // namespace zl
