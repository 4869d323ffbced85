// The worker thread of a task: preparation, the loop with its periods and end
// conditions, and what happens after it.
#include <unistd.h>

#include <cstdio>

#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/engine_log.h"
#include "engine/core/task/pool_trim.h"
#include "engine/core/task/task_work_thread.h"
#include "engine/meta/link_text.h"

namespace zl {
namespace {

constexpr uint32_t kStarvedAfterSeconds = 15;
constexpr uint32_t kNoDataLimitSeconds = 900;
constexpr uint32_t kResumeSaveSeconds = 20;
constexpr uint64_t kPieceMapCheckSeconds = 5;
constexpr uint32_t kDefaultLoopSleepMs = 6;

}  // namespace

void TWorkThread::Run() {
    try {
        WorkerBody();
    } catch (...) {
        ReleaseLocksAfterCrash();
        // The run is over: show it, so the task does not look busy forever.
        live_.state = kTaskStateIdle;
        Publish(LockWait::kWait);
    }
}

void TWorkThread::ReleaseLocksAfterCrash() {
    EngineContext& c = Context();
    for (QTMutex* lock : {&Lock(), &c.DataLock(), &c.DiskLock()})
        lock->ReleaseAllHeldByCaller();
}

void TWorkThread::WorkerBody() {
    marked_starved_ = false;
    marked_timed_out_ = false;
    // A new run starts clean: an end status of the previous run no longer holds.
    live_.status = STATUS_DOWNLOADING;
    LoadResumeInfo();
    if (!Prepare()) {
        // Nothing to work with; make the reason (e.g. an unreadable metainfo
        // location) visible instead of leaving the status of before.
        live_.state = kTaskStateIdle;
        Publish(LockWait::kWait);
        return;
    }
    live_.state = kTaskStateRunning;
    Publish(LockWait::kWait);
    Loop();
    AfterLoop();
}

bool TWorkThread::Prepare() {
    const TaskIdentity& id = Identity();
    const bool torrent_task = id.p2sp || id.bt;
    if (torrent_task && !id.metainfo_location.empty()) {
        live_.state = kTaskStateIdle;
        const bool file = IsFileLocation(id.metainfo_location);
        const bool link_text = !file && LooksLikeLinkText(id.metainfo_location);
        if (file) LoadMetainfoFromFile();
        live_.state = kTaskStateParsingMeta;
        if (link_text) {
            BuildLinkTextMetainfo(id.metainfo_location);
        } else {
            BuildMetainfo();
        }
        live_.state = kTaskStateRunning;
    }
    return !torrent_task || IsMetainfoReady() || !Sources().empty();
}

void TWorkThread::LoadMetainfoFromFile() {
    std::optional<std::string> bytes = ReadMetainfoFile(Identity().metainfo_location);
    if (bytes) {
        ScopedLock guard(Lock());
        // A replaced torrent: the new piece map carries the old one's progress over.
        std::string& held = Blobs().value[ResumeBlobs::kTorrent];
        if (!held.empty() && held != *bytes) previous_torrent_ = held;
        Blobs().Set(ResumeBlobs::kTorrent, std::move(*bytes));
        return;
    }
    live_.status = STATUS_METAINFO_FAILED;
    RequestStop();
}

void TWorkThread::Loop() {
    uint64_t last15 = 0, last8 = 0, last10 = 0;
    uint32_t housekeeping_passes = 0;
    const TaskIdentity& id = Identity();
    while (!CheckStop()) {
        if (IsFinished(Now())) {
            char line[4096 + 64];
            std::snprintf(line, sizeof line, "TID : %5lu] [%s is Download Complete",
                          static_cast<unsigned long>(GetThreadId()), id.target_file.c_str());
            LogWrite(line, kLogTaskLifecycle, kLogTaskLifecycle);
            break;
        }
        const uint64_t now = Step();
        if (now - last15 >= 15) {
            RefreshSources();
            last15 = now;
        }
        if (CheckStop()) break;

        const uint32_t run_seconds = Context().UptimeSeconds() - StartUptime();
        if (!IsMetainfoReady() && static_cast<int64_t>(run_seconds) > Settings().metainfo_time_limit_s) {
            marked_timed_out_ = true;
            break;
        }
        if (!CheckStop() && !IsFinished(now) && IsStarved()) {
            marked_starved_ = true;
            break;
        }

        if (now - last8 >= 8) {
            last8 = now;
            DhtSearch();
            TrimBufferPools(false, housekeeping_passes % 4 == 0);
            ++housekeeping_passes;
        }
        if (CheckStop()) break;
        if (now - last10 >= 10) {
            ExchangeOnLan();
            last10 = now;
        }
    }
}

void TWorkThread::AfterLoop() {
    if (!verified_complete_) IsFinished(0);
    // Reset clears the flag, so the value of this moment decides both the file
    // and the end status.
    const bool verified = verified_complete_;
    Reset(ResetScope::kRun);
    if (verified) {
        DeleteResumeFile();
    } else {
        SaveResumeInfo();
    }
    {
        ScopedLock guard(Lock());
        live_.state = kTaskStateIdle;
        if (!verified) {
            if (marked_starved_) {
                live_.status = STATUS_DOWNLOAD_ERROR;
            } else if (marked_timed_out_) {
                live_.status = STATUS_TIMED_OUT;
            }
        }
        Publish(LockWait::kSkipIfBusy);
    }
    Reset(ResetScope::kRun);
    TrimBufferPools(true, true);
}

void TWorkThread::TrimBufferPools(bool end_of_run, bool deep) {
    BufferPools& pools = Context().Pools();
    const auto trim_by_usage = [](BufferPool& pool, TrimPoolKind kind, int percent) {
        const BufferPool::Sizes sizes = pool.GetSizes();
        if (const std::optional<int64_t> limit = TrimByUsageLimit(kind, sizes.in_use, sizes.free, percent)) pool.TrimTo(*limit);
    };
    trim_by_usage(pools.request_record, TrimPoolKind::kRequestRecords, 15);
    trim_by_usage(pools.socket_buffer, TrimPoolKind::kSocketBuffers, 35);
    if (end_of_run) {
        pools.hash_state.TrimTo(10240);
        pools.piece_data.TrimTo(2 * 1024 * 1024);
    } else if (deep) {
        pools.hash_state.TrimTo(256 * 1024);
    }
}

bool TWorkThread::IsDataComplete() const {
    return figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count;
}

bool TWorkThread::IsStarved() {
    const TaskIdentity& id = Identity();
    if (current_speed_ != 0) return false;
    if (Context().UptimeSeconds() - StartUptime() <= kStarvedAfterSeconds) return false;
    if ((id.p2sp || id.bt) && IsMetainfoReady()) return false;
    return CandidateCount() == 0;
}

bool TWorkThread::IsFinished(uint64_t now) {
    const bool complete = IsDataComplete();
    if (now == 0) now = Now();
    if (complete && live_.completion_time == 0) {
        live_.completion_time = now;
        if (live_.state != kTaskStateParsingMeta && ClosePieceFiles()) {
            verified_complete_ = true;
            // The application waits for this moment: show it now, not at the
            // next once-a-second publication.
            ScopedLock guard(Lock());
            Publish(LockWait::kSkipIfBusy);
        }
    }
    if (!complete) {
        live_.completion_time = 0;
        return false;
    }
    const TaskIdentity& id = Identity();
    if (!id.p2sp && !id.bt) return live_.downloaded >= live_.wanted_size;
    const int32_t hours = Settings().seeding_hours;
    return hours > 0 && now >= live_.completion_time &&
           (now - live_.completion_time) / 3600 >= static_cast<uint64_t>(hours);
}

uint64_t TWorkThread::Step() {
    ServeBlockReads();
    CollectCheckedPieces();
    PeerPass();
    AnnounceHaves();
    const uint64_t now = Now();
    if (now != last_statistics_clock_) {
        last_statistics_clock_ = now;
        StatisticsPass(now);
        if (IsMetainfoReady()) PeriodicSaveAndCheck();
    }
    if (per_second_flag_ && Lock().TryLock()) {
        ApplyPendingChanges();
        Publish(LockWait::kSkipIfBusy);
        Refresh();
        Lock().Unlock();
        per_second_flag_ = false;
    }
    if (now - last_four_second_clock_ > 3) {
        last_four_second_clock_ = now;
        FourSecondPass();
    }
    WaitBetweenSteps(loop_sleep_ms_ < 1 ? kDefaultLoopSleepMs : loop_sleep_ms_);
    return Now();
}

void TWorkThread::PeriodicSaveAndCheck() {
    const uint32_t uptime = Context().UptimeSeconds();
    // Newly verified pieces go to disk and into the resume file within a
    // second: a crash then costs only what was in flight, not everything
    // since the last periodic save (a stale resume file is trusted at the
    // next start, so pieces written after it would be fetched again).
    // A flush of the data in flight also counts: its resume data is saved once it is done.
    const bool held = PieceMap() && (PieceMap()->CompleteInMemoryBytes() > 0 || PieceMap()->ProgressSavePending());
    const bool new_pieces = (held || figures_.finished_pieces != finished_at_last_save_) && uptime != last_save_uptime_;
    if (uptime - last_save_uptime_ > kResumeSaveSeconds || save_now_ || new_pieces) {
        save_now_ = false;
        finished_at_last_save_ = figures_.finished_pieces;
        loop_sleep_ms_ = loop_sleep_ms_ / 2 + 1;
        if (!verified_complete_) {
            FlushPieceMap();
            IsFinished(0);
        }
        if (verified_complete_) {
            ClosePieceFiles();
            DeleteResumeFile();
        } else {
            SaveResumeInfo();
        }
        last_save_uptime_ = uptime;
    }
    const uint64_t now = Now();
    if (now - last_check_clock_ > kPieceMapCheckSeconds) {
        {
            ScopedLock guard(Lock());
            Publish(LockWait::kSkipIfBusy);
            if (!IsDataComplete() && SecondsWithoutData() >= kNoDataLimitSeconds) {
                // Giving up must be visible to the application, not a silent stop.
                live_.status = STATUS_NETWORK_ERROR;
                RequestStop();
            }
        }
        FlushPieceCaches();
        last_check_clock_ = now;
        loop_sleep_ms_ = loop_sleep_ms_ / 2 + 1;
    }
}

}  // namespace zl
