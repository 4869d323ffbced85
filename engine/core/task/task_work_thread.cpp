// Lifecycle and queries of a task; the worker loop is in task_work_loop.cpp.
#include "engine/core/task/task_work_thread.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/engine_log.h"

namespace zl {
namespace {

void CopyText(char* out, size_t capacity, const std::string& text) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

TWorkThread::TWorkThread(EngineContext& context) : TWorkWithPeers(context) { Reset(ResetScope::kRun); }

TWorkThread::~TWorkThread() {
    Stop();
    Reset(ResetScope::kAll);
}

int32_t TWorkThread::StartDownload() { return Start("StartDownload") ? ENGINE_OK : ENGINE_E_EXCEPTION; }

int32_t TWorkThread::ContinueDownload() {
    LoadResumeInfo();
    return Start("ContinueDownload") ? ENGINE_OK : ENGINE_E_EXCEPTION;
}

int32_t TWorkThread::StopTask() { return Stop() ? ENGINE_OK : ENGINE_E_EXCEPTION; }

int32_t TWorkThread::PauseTask(bool on) { return Pause(on) ? ENGINE_OK : ENGINE_E_EXCEPTION; }

int32_t TWorkThread::Restart() {
    LogWrite("Download Restarted..", kLogTaskRestart, kLogTaskRestart);
    if (!Stop()) return ENGINE_E_EXCEPTION;
    const std::string first = FirstTargetPath();
    if (!first.empty()) {
        for (const char* suffix : {"", ".zltmp", ".zlinfo", ".zlinfodf"}) Context().Files().Remove(first + suffix);
    }
    DeleteResumeFile();
    {
        ScopedLock guard(Lock());
        live_ = TaskStatus{};
        published_ = TaskStatus{};
    }
    Reset(ResetScope::kAll);
    return StartTask();
}

void TWorkThread::FillProgress(TaskProgressInfo& info) {
    std::memset(&info, 0, sizeof info);
    CopyText(info.name, sizeof info.name, published_.name);
    info.downloaded = published_.downloaded;
    info.total_kib = static_cast<uint32_t>(published_.total_size / 1024);
    info.http_bytes = published_.http_bytes;
    info.peer_bytes = published_.peer_bytes;
    info.speed = published_.current_speed;
    info.time_remaining = published_.time_remaining;
    info.progress = ProgressUnits(published_.downloaded, published_.total_size);
    info.status = published_.status;
    if (IsPaused() && info.status == STATUS_DOWNLOADING) info.status = STATUS_PAUSED;
    if (info.progress >= 10000) info.status = STATUS_COMPLETE;
    if (info.status == STATUS_PAUSED && published_.current_speed != 0) {
        info.speed = info.time_remaining = 0;
        published_.current_speed = published_.time_remaining = 0;
    }
}

void TWorkThread::GetProgress(TaskProgressInfo& info) {
    ScopedLock guard(Lock());
    FillProgress(info);
}

bool TWorkThread::IsComplete() {
    // The 64-bit counters are read under the task lock like every other query.
    ScopedLock guard(Lock());
    return ProgressUnits(published_.downloaded, published_.total_size) > 9999;
}

int32_t TWorkThread::SetSpeedLimit(int32_t direction, int32_t kib_per_second) {
    if (direction != 0 && direction != 1) return ENGINE_E_INVALID_ARG;
    ScopedLock guard(Lock());
    (direction == 0 ? Settings().upload_limit_kib : Settings().download_limit_kib) = kib_per_second;
    NormaliseTaskSettings(Settings());
    return ENGINE_OK;
}

int32_t TWorkThread::GetTimeRemaining(int32_t* out) {
    ScopedLock guard(Lock());
    if (out) *out = published_.time_remaining;
    return ENGINE_OK;
}

int32_t TWorkThread::GetAverageSpeed(int32_t* out) {
    ScopedLock guard(Lock());
    if (out) *out = published_.average_download_speed;
    return ENGINE_OK;
}

int32_t TWorkThread::GetCurrentSpeed(int32_t* out) {
    ScopedLock guard(Lock());
    if (out) *out = published_.current_speed;
    return ENGINE_OK;
}

int32_t TWorkThread::GetTorrentInfo(TaskTorrentInfo& info) {
    ScopedLock guard(Lock());
    info = TaskTorrentInfo{};
    info.total_size = published_.total_size;
    info.piece_length = published_.piece_length;
    CopyText(info.info_hash, sizeof info.info_hash, published_.info_hash);
    CopyText(info.announce, sizeof info.announce, published_.announce);
    return ENGINE_OK;
}

void TWorkThread::LoadResumeInfo() {
    std::shared_ptr<ResumeInfoCodec> codec = Context().ResumeCodec();
    ScopedLock guard(Lock());
    zl::LoadResumeInfo(Identity().resume_path, codec.get(), Blobs(), Context().Files());
}

bool TWorkThread::SaveResumeInfo(const std::string& path) {
    std::shared_ptr<ResumeInfoCodec> codec = Context().ResumeCodec();
    ScopedLock guard(Lock());
    return zl::SaveResumeInfo(path, codec.get(), Blobs(), Context().Files());
}

void TWorkThread::DeleteResumeFile() {
    if (!Identity().resume_path.empty()) RemoveDurably(Context().Files(), Identity().resume_path);
}

void TWorkThread::Reset(ResetScope scope) {
    loop_sleep_ms_ = 0;
    per_second_flag_ = false;
    verified_complete_ = false;
    clock_override_ = 0;
    save_now_ = false;
    last_save_uptime_ = 0;
    finished_at_last_save_ = 0;
    last_check_clock_ = 0;
    last_statistics_clock_ = 0;
    last_four_second_clock_ = 0;
    TWorkWithPeers::Reset(scope);
}

uint64_t TWorkThread::Now() {
    const uint64_t forced = clock_override_.load();
    return forced ? forced : Context().ClockSeconds();
}

}  // namespace zl
