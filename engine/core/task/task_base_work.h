// The first layer of a task: its identity and configuration, its settings,
// its live and published status, its resume blobs, and its registration with
// the engine (the first task sets up the engine's services, the last one tears
// them down).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/api/duplicate_rule.h"
#include "engine/base/qthread.h"
#include "engine/core/task/resume_info.h"
#include "engine/core/task/task_settings.h"
#include "engine/core/task/task_status.h"

namespace zl {

class EngineContext;

struct SourceEntry {
    std::string text;
    int32_t state = 0;  // connection state of the source, kept by the peer layer
};

struct TaskIdentity {
    bool p2sp = false;
    bool bt = false;
    bool full_path = false;
    std::string kind_name = "HTTP Task";
    std::string metainfo_location;
    std::string directory;    // save directory, with a trailing "/"
    std::string target_file;  // explicit, or derived once the files are known
    std::string resume_path;
    std::string piece_cache_path;
};

// How much Reset clears: one run's state, or everything (destruction, restart).
enum class ResetScope : uint8_t { kRun, kAll };
// Whether Publish waits for the task lock.
enum class LockWait : uint8_t { kSkipIfBusy, kWait };

class TBaseWork : public QThread {
public:
    explicit TBaseWork(EngineContext& context);
    ~TBaseWork() override;

    EngineContext& Context() { return context_; }

    // Identity and sources are set by the creator before the task starts and
    // read under the task lock afterwards.
    TaskIdentity& Identity() { return identity_; }
    std::vector<SourceEntry>& Sources() { return sources_; }
    std::vector<std::string> SourceTexts() const;
    TaskSettings& Settings() { return settings_; }
    ResumeBlobs& Blobs() { return blobs_; }

    // Judged under `registered`'s task lock.
    bool Duplicates(TBaseWork& registered);

    // Copy of the published status, taken under the task lock.
    TaskStatus PublishedStatus();

    // Copies the live status to the published one. kSkipIfBusy gives up
    // when the task lock is taken.
    void Publish(LockWait wait);
    // Clears run-time state layer by layer; kAll also drops what survives a
    // normal end of the loop (the first target path, the disk-size path).
    virtual void Reset(ResetScope scope);

protected:
    uint32_t CurrentUptime() override;

    TaskStatus live_;
    TaskStatus published_;  // written only by Publish, under the task lock

private:
    EngineContext& context_;
    TaskIdentity identity_;
    std::vector<SourceEntry> sources_;
    TaskSettings settings_;
    ResumeBlobs blobs_;
};

}  // namespace zl
