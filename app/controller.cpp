// The download: begin, reload, pause, resume, the two timer entries, the
// limits, the status reactions and the statistics events.
#include "app/controller.h"

#include <cstdint>
#include <ctime>

#include "app/app_events.h"
#include "app/app_log.h"
#include "app/finish_info.h"
#include "app/formatters.h"
#include "app/limit_split.h"
#include "engine/core/api/engine_codes.h"
#include "engine/meta/atomic_file.h"

namespace zl::app {
namespace {

constexpr char kTask[] = "ZephyrloaderTask";
constexpr uint64_t kMiB = 1u << 20;

std::string LocalTimeText(uint64_t seconds) {
    const std::time_t t = std::time_t(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %X", &tm);
    return text;
}

bool InSet(int state, std::initializer_list<int> set) {
    for (int s : set)
        if (s == state) return true;
    return false;
}

}  // namespace

// ---- helpers ---------------------------------------------------------------

void AppController::SetState(int state) {
    state_ = state;
    // Entered at once, so that a state passed through between two timer
    // runs still gets its log line and its events.
    if (state != logged_state_) OnStateEntered(state);
}

void AppController::Message(const std::string& text) { s_.ui.ShowMessage(text, kCaption); }

void AppController::Report(AppEvent event) {
    s_.events.Report(event);
    s_.ui.OnEvent(event);
}

DownloadStatistics AppController::Statistics() const {
    DownloadStatistics st;
    st.seconds = session_seconds_;
    for (const FileSlot& f : files_) {
        st.http_bytes += f.http_bytes;
        st.peer_bytes += f.peer_bytes;
    }
    st.total_bytes = st.http_bytes + st.peer_bytes;
    if (st.seconds > 0) {
        st.average = st.total_bytes / st.seconds;
        st.http_average = st.http_bytes / st.seconds;
        st.peer_average = st.peer_bytes / st.seconds;
    }
    st.progress = FormatPercent(progress_);
    return st;
}

void AppController::ReportStatistics(uint32_t code, const std::string& text) {
    Report({code, text, "", true, Statistics()});
}

void AppController::SaveIni() {
    if (ini_.Path().empty() || !ini_.Dirty()) return;
    if (!ini_.Save()) AppLog("cannot write " + ini_.Path(), kLogFailure);
}

void AppController::WriteLastSize(uint64_t bytes) {
    const uint64_t half = uint64_t(1) << 31;
    ini_.Set(kTask, "ZephyrloaderTaskLastSizeHigh", std::to_string(bytes / half));
    ini_.Set(kTask, "ZephyrloaderTaskLastSizeLow", std::to_string(bytes % half));
    last_written_size_ = bytes;
}

int AppController::State() const { return state_; }

Outcome AppController::GetOutcome() const {
    std::lock_guard lock(m_);
    return outcome_;
}

bool AppController::InstallerLaunched() const {
    std::lock_guard lock(m_);
    return installer_launched_;
}

bool AppController::ExitRequested() const { return exit_requested_; }

void AppController::SetAutoShutdown(bool on) {
    std::lock_guard lock(m_);
    auto_shutdown_ = on;
}

void AppController::SetSpeedLimit(int32_t kib) {
    std::lock_guard lock(m_);
    speed_limit_kib_ = kib > 0 ? kib : kNoSpeedLimitStored;
    ApplySpeedLimit();
}

// ---- the main button ---------------------------------------------------------

void AppController::MainAction() {
    std::unique_lock lock(m_);
    switch (state_.load()) {
        case kStateBack:
        case kStateReady:
            Begin();
            break;
        case kStateDownloading:
        case kStateResume:
            Pause(true);
            break;
        case kStatePause:
            Resume();
            break;
        case kStateFinished:
            Report({kEventInstallPressed, "", "", false, {}});
            lock.unlock();
            AskInstall();
            break;
        case kStateMd5Checking:
            Message("MD5计算工作中……请等待完成");
            break;
        case kStateCheckRecover:
            Message("部分文件错误，正在修复中...");
            break;
        case kStateCheckFinished:
            Report({kEventInstallPressed, "点击时已经验证过安装包分卷了", "", false, {}});
            Install(true);
            break;
        default:
            break;
    }
}

// ---- begin, reload, pause, resume ------------------------------------------

void AppController::MarkStart() {
    ini_.Set(kTask, "ZephyrloaderTaskHash", task_hash_);
    ini_.Set(kTask, "ZephyrloaderTaskCreateTimeStamp", std::to_string(uint32_t(s_.clock.TickMs())));
    ini_.Set(kTask, "ZephyrloaderTaskCreateTime", LocalTimeText(s_.clock.SystemSeconds()));
    tick_counter_ = 0;
    session_seconds_ = 0;
    if (state_ == kStateBack || state_ == kStateReady) {
        for (int i = 0; i < kPackageFiles; ++i) {
            ini_.Set(kTask, "ZephyrloaderHttpTaskUrl" + std::to_string(i), table_.DefaultUrl(i));
            ini_.Set(kTask, "ZephyrloaderHttpTaskFile" + std::to_string(i), table_.files[size_t(i)].name);
        }
    }
    if (save_path_.empty()) {
        const std::string root = DefaultDownloadRoot();
        if (!root.empty()) save_path_ = JoinPath(root, table_.folder_name);
    }
    if (entrance_.empty()) entrance_ = table_.files[0].name;
    if (folder_name_.empty()) folder_name_ = table_.folder_name;
    ini_.Set(kTask, "ZephyrloaderTaskEntrence", entrance_);
    ini_.Set(kTask, "ZephyrloaderTaskFloder", folder_name_);
    s_.engine.SetHttpWrap(true);
}

bool AppController::Begin() {
    if (save_path_.empty() || s_.engine.DiskFreeSpace(save_path_) < table_.SpaceNeeded()) {
        Message("当前磁盘空间不足，请选择其他位置存放");
        disk_warning_ = true;
        outcome_ = Outcome::kBeginFailed;
        return false;
    }
    Report({kEventDownloadBegun, "", "", false, {}});
    MarkStart();
    ini_.Set(kTask, "ZephyrloaderTaskSavePath", save_path_);
    // Files grow as data arrives (sparse), so free space is watched while downloading.
    AppLog("文件系统支持稀疏文件");
    sparse_watch_ = true;
    if (s_.engine.Startup(folders_.app_folder) != ENGINE_OK) {
        AppLog("Begin Download Task] [环境初始化失败");
        Report({kEventEngineStartFailed, "Begin Download Task 环境初始化失败", "", false, {}});
        Message("下载启动失败请重试");
        outcome_ = Outcome::kBeginFailed;
        return false;
    }
    engine_started_ = true;
    if (!CreateTasks()) {
        Message("下载启动失败请重试");
        outcome_ = Outcome::kBeginFailed;
        SaveIni();
        return false;
    }
    ApplySpeedLimit();
    SetState(kStatePreparing);
    SaveIni();
    prefix_wake_.notify_all();
    return true;
}

bool AppController::CreateTasks() {
    if (!CreateDirectories(save_path_)) {
        AppLog("Begin Download Task] [cannot create " + save_path_, kLogFailure);
        Report({kEventEngineStartFailed, "Begin Download Task 无法创建目录 " + save_path_, "", false, {}});
        return false;
    }
    bool all = true;
    for (int i = 0; i < kPackageFiles; ++i) {
        FileSlot& f = files_[size_t(i)];
        if (f.handle) continue;  // created by an earlier begin that failed later
        if (!FillDescriptor(i, false)) {
            all = false;
            continue;
        }
        const int32_t r = s_.engine.CreateAndStart(&f.descriptor);
        if (r == ENGINE_OK && f.descriptor.handle) {
            f.handle = f.descriptor.handle;
        } else {
            // A task that exists but did not start is kept: the next begin starts it.
            if (f.descriptor.handle) f.handle = f.descriptor.handle;
            AppLog("Begin Download Task] [task " + std::to_string(i) + " failed: " + std::to_string(r), kLogFailure);
            Report({kEventEngineStartFailed, "Begin Download Task 任务创建失败 " + std::to_string(r), "", false, {}});
            all = false;
        }
    }
    session_tasks_ = true;
    if (!all) {
        std::vector<TaskHandle> live;
        for (FileSlot& f : files_)
            if (f.handle) live.push_back(f.handle);
        if (!live.empty()) s_.engine.StopMany(live.data(), uint32_t(live.size()));
    }
    return all;
}

void AppController::Reload() {
    MarkStart();
    if (s_.engine.Startup(folders_.app_folder) != ENGINE_OK) {
        AppLog("Reload Download Task] [环境初始化失败");
        Report({kEventEngineStartFailed, "继续下载：环境初始化失败", "", false, {}});
        Message("下载启动失败请重试");
        return;
    }
    engine_started_ = true;
    CreateDirectories(save_path_);
    for (int i = 0; i < kPackageFiles; ++i) {
        FileSlot& f = files_[size_t(i)];
        if (FinishInfoUnchanged(ini_, i, StampOf(TargetPath(i)))) {
            f.complete = true;
            continue;
        }
        f.changed = true;
        if (table_.DefaultUrl(i).empty()) Message("下载源出错，请验证这个下载工具的md5是否正确");
        if (!FillDescriptor(i, true)) {
            AppLog("Reload 失败");
            continue;
        }
        const int32_t r = s_.engine.RecoverAndContinue(&f.descriptor, true);
        if (r != ENGINE_OK) {
            if (f.descriptor.handle) f.handle = f.descriptor.handle;
            AppLog("Reload 失败");
            Message("ErrorCode : " + std::to_string(r));
            continue;
        }
        AppLog("Reload 成功");
        f.handle = f.descriptor.handle;
        ini_.Set(kTask, "ZephyrloaderTask" + std::to_string(i), table_.files[size_t(i)].name);
    }
    if (ActiveTasks() > 0) {
        Report({kEventDownloadResumed, "", "", false, {}});
        session_tasks_ = true;
        ApplySpeedLimit();
    }
    SaveIni();
    prefix_wake_.notify_all();
}

void AppController::Pause(bool with_event) {
    if (with_event) ReportStatistics(kEventUserPaused);
    std::vector<TaskHandle> live;
    for (FileSlot& f : files_)
        if (f.handle) live.push_back(f.handle);
    if (!live.empty()) s_.engine.StopMany(live.data(), uint32_t(live.size()));
    SetState(kStatePause);
}

void AppController::Resume() {
    Report({kEventDownloadResumed, "", "", false, {}});
    for (int i = 0; i < kPackageFiles; ++i) {
        FileSlot& f = files_[size_t(i)];
        if (f.complete && FinishInfoUnchanged(ini_, i, StampOf(TargetPath(i)))) continue;
        f.complete = false;
        if (f.handle) s_.engine.Start(f.handle);
    }
    SetState(kStateResume);
}

// ---- limits ------------------------------------------------------------------

int32_t AppController::ActiveTasks() {
    int32_t n = 0;
    for (FileSlot& f : files_) {
        if (!f.handle || f.complete) continue;
        TaskProgressInfo info{};
        if (s_.engine.GetProgress(f.handle, &info) == ENGINE_OK) ++n;
    }
    return n;
}

void AppController::ApplySpeedLimit() {
    const int32_t per_task = TaskSpeedLimit(speed_limit_kib_, ActiveTasks());
    for (FileSlot& f : files_)
        if (f.handle) s_.engine.SetSpeedLimit(f.handle, per_task);
}

void AppController::DistributeConnections(int32_t active) {
    if (active <= 0 || (active == last_active_ && server_total_ == last_server_total_)) return;
    const std::vector<ConnectionShare> shares = SplitConnections(server_total_, kPeerConnectionsTotal, active);
    size_t next = 0;
    for (FileSlot& f : files_) {
        if (!f.handle || f.complete || next >= shares.size()) continue;
        s_.engine.SetConnectionLimits(f.handle, shares[next].servers, shares[next].peers);
        ++next;
    }
    last_active_ = active;
    last_server_total_ = server_total_;
}

// ---- reactions -----------------------------------------------------------------

void AppController::HandleCompletion(int i) {
    FileSlot& f = files_[size_t(i)];
    f.complete = true;
    f.progress = 10000;
    RecordFinishInfo(ini_, i, StampOf(TargetPath(i)));
    ApplySpeedLimit();
    Report({kEventFileComplete, "", TargetPath(i), false, {}});
    SaveIni();
    prefix_wake_.notify_all();
}

void AppController::StatusReaction(int i, int32_t status) {
    FileSlot& f = files_[size_t(i)];
    if (status == 0 || status == f.last_status) return;
    f.last_status = status;
    switch (status) {
        case STATUS_NETWORK_ERROR:
            Message("网络错误");
            break;
        case STATUS_TIMED_OUT:
            ReportStatistics(kEventNetworkTimedOut);
            Message("网络连接超时，下载失败");
            break;
        case STATUS_DISK_FULL:
            if (state_ == kStateDownloading) Pause(false);
            disk_warning_ = true;
            outcome_ = Outcome::kDiskStopped;
            ReportStatistics(kEventDiskFull);
            Message("磁盘空间不足，请检查并重新启动下载器！");
            break;
        case STATUS_DOWNLOAD_ERROR:
            Message("下载出错，请重试");
            break;
        case STATUS_WRITE_FAILED:
            SetState(kStateFailed);
            Message("由于磁盘损坏无法写入，下载失败");
            break;
        default:
            break;
    }
}

void AppController::FreeSpaceWatch() {
    if (!sparse_watch_ || save_path_.empty()) return;
    // Free space plus what the files already occupy is unchanged by the
    // download itself, whether the engine reserves the files' space up front or not.
    auto occupied = [&] {
        uint64_t sum = 0;
        for (int i = 0; i < kPackageFiles; ++i) {
            const int64_t n = s_.engine.FileDiskSize(TargetPath(i));
            if (n > 0) sum += uint64_t(n);
        }
        return sum;
    };
    const uint64_t needed = table_.SpaceNeeded();
    if (s_.engine.DiskFreeSpace(save_path_) + occupied() >= needed) {
        disk_warning_ = false;
        if (state_ == kStateBack) SetState(kStateReady);
        return;
    }
    if (s_.engine.DiskFreeSpace(save_path_) + occupied() + kSpaceReserve >= needed) return;
    switch (state_.load()) {
        case kStateReady:
            SetState(kStateBack);
            Message("当前磁盘空间不足，请选择其他位置存放。");
            disk_warning_ = true;
            break;
        case kStateBack:
        case kStatePause:
            disk_warning_ = true;
            break;
        case kStateDownloading:
            Pause(false);
            ReportStatistics(kEventDiskFull);
            Message("预留磁盘空间不足，下载暂停。");
            disk_warning_ = true;
            outcome_ = Outcome::kDiskStopped;
            break;
        default:
            break;
    }
}

void AppController::OnStateEntered(int state) {
    logged_state_ = state;
    if (const char* name = StateName(state)) AppLog(std::string("Zephyrloader Utility: 下载状态改变为") + name);
    if (state != kStateFinished) return;
    for (int i = 0; i < kPackageFiles; ++i) {
        const FileStamp stamp = StampOf(TargetPath(i));
        if (stamp.exists) RecordFinishInfo(ini_, i, stamp);
    }
    if (session_tasks_) ReportStatistics(kEventPackageComplete);
    ApplySpeedLimit();
    SaveIni();
    if (auto_shutdown_) AutoShutdown();
}

// ---- the timers ------------------------------------------------------------------

void AppController::StateUpdate() {
    std::lock_guard lock(m_);
    if (exit_logged_) return;
    if (pending_install_) {
        pending_install_ = false;
        if (state_ == kStateCheckFinished) {
            Report({kEventInstallPressed, "点击时已经验证过安装包分卷了", "", false, {}});
            Install(true);
        }
    }
    uint64_t weight_sum = 0;
    for (const PackageFile& p : table_.files) weight_sum += p.size / kMiB;
    // A package of files below 1 MiB each is weighed by bytes instead.
    const bool by_bytes = weight_sum == 0;
    if (by_bytes) weight_sum = table_.PackageBytes();
    uint64_t done = 0, on_disk = 0;
    for (int i = 0; i < kPackageFiles; ++i) {
        FileSlot& f = files_[size_t(i)];
        bool queried = false;
        if (f.handle) {
            TaskProgressInfo info{};
            if (s_.engine.GetProgress(f.handle, &info) == ENGINE_OK) {
                queried = true;
                f.progress_ok = true;
                f.progress = std::clamp(info.progress, 0, 10000);
                f.speed = std::max(info.speed, 0);
                f.status = info.status;
                f.http_bytes = info.http_bytes;
                f.peer_bytes = info.peer_bytes;
                f.downloaded = info.downloaded;
                int32_t complete = 0;
                if (!f.complete && s_.engine.IsComplete(f.handle, &complete) == ENGINE_OK && complete)
                    HandleCompletion(i);
                if (info.status != f.last_status) StatusReaction(i, info.status);
            } else {
                f.speed = 0;
                f.progress_ok = false;
            }
        }
        const uint64_t weight = by_bytes ? table_.files[size_t(i)].size : table_.files[size_t(i)].size / kMiB;
        done += weight * uint64_t(f.complete ? 10000 : f.progress);
        if (queried) {
            on_disk += f.downloaded;
        } else {
            const int64_t n = s_.engine.FileDiskSize(TargetPath(i));
            if (n > 0) on_disk += uint64_t(n);
        }
    }
    progress_ = weight_sum ? uint32_t(std::min<uint64_t>(done / weight_sum, 10000)) : 0;
    bytes_on_disk_ = on_disk;
    if (!InSet(state_, {0, 1, 5, 7, 8, 10, 13, 17}) && on_disk != last_written_size_) WriteLastSize(on_disk);
    FreeSpaceWatch();
    if (state_ == kStatePreparing && progress_ > 0) SetState(kStateReload);
    if (state_ != logged_state_) OnStateEntered(state_);
}

void AppController::Tick() {
    std::lock_guard lock(m_);
    if (exit_logged_) return;
    ++ticks_;
    const int st = state_;
    if (!InSet(st, {0, 1, 7, 8, 12, 17})) {
        if (IsDownloadingState(st)) {
            ++tick_counter_;
            if (tick_counter_ % 300 == 0) ReportStatistics(kEventStillDownloading);
            ++session_seconds_;
            // Kept as 32-bit "%u" text: anything outside that range is not our
            // count, and adding to it could overflow.
            int64_t stored = ini_.GetInt(kTask, "ZephyrloaderTaskDownloadTime", 0);
            if (stored < 0 || stored >= int64_t(UINT32_MAX)) stored = 0;
            const int64_t seconds = stored + 1;
            if (seconds > download_time_written_) {
                ini_.Set(kTask, "ZephyrloaderTaskDownloadTime", std::to_string(uint32_t(seconds)));
                download_time_written_ = seconds;
            }
        } else {
            tick_counter_ = 0;
        }
        for (int i = 0; i < kPackageFiles; ++i) {
            FileSlot& f = files_[size_t(i)];
            if (!f.handle) continue;
            int32_t complete = 0;
            if (!f.complete && s_.engine.IsComplete(f.handle, &complete) == ENGINE_OK && complete) HandleCompletion(i);
            const int32_t size = s_.engine.GetBitfieldSize(f.handle);
            if (size > 0) {
                f.bitfield.resize(size_t(size));
                f.bits = std::max(0, s_.engine.GetBitfield(f.handle, f.bitfield.data(), size));
            }
        }
        if (!InSet(st, {10, 11, 12})) {
            bool all = true;
            for (const FileSlot& f : files_) all = all && f.complete;
            if (all && ActiveTasks() == 0) {
                SetState(kStateFinished);
                ini_.Set(kTask, "ZephyrloaderTaskIsComplete", "COMPLETE");
            }
        }
    }
    RefreshSpeed();
    SaveIni();
}

void AppController::RefreshSpeed() {
    s_.engine.SetP2PSwitch(p2p_);
    const int st = state_;
    if (st == kStatePause) mirror_seconds_ = 0;
    uint32_t total = 0;
    if (IsDownloadingState(st)) {
        int32_t active = 0;
        for (const FileSlot& f : files_) {
            if (!f.handle || f.complete) continue;
            total += uint32_t(f.speed);
            ++active;
        }
        if (total > 1024) {
            SetState(kStateDownloading);
            DistributeConnections(ActiveTasks());
        }
    }
    // The mirror list is wanted as soon as tasks exist, not only once data
    // flows: with a dead default mirror data would never flow without it.
    if (IsDownloadingState(state_) || state_ == kStateCheckRecover) {
        if (mirror_seconds_ % 600 == 0) StartMirrorFetch();
        ++mirror_seconds_;
    } else {
        mirror_seconds_ = 0;
    }
    if (!IsDownloadingState(st)) {
        displayed_speed_ = 0;
        return;
    }
    const uint32_t limit = uint32_t(speed_limit_kib_) * 1024u;
    if (total > limit)
        displayed_speed_ = displayed_speed_ < limit ? (displayed_speed_ + total) / 2 : (displayed_speed_ + limit) / 2;
    else
        displayed_speed_ = total;
}

ControllerView AppController::View() const {
    std::lock_guard lock(m_);
    ControllerView v;
    v.state = state_;
    v.progress = progress_;
    v.speed = displayed_speed_;
    v.bytes_on_disk = bytes_on_disk_;
    v.disk_warning = disk_warning_;
    v.speed_text = v.state == kStateCheckRecover ? "" : FormatSpeed(v.speed);
    v.percent_text = FormatPercent(progress_);
    const uint64_t total = table_.PackageBytes();
    const uint64_t done = v.state == kStateFinished ? total
                          : sparse_watch_         ? bytes_on_disk_
                                                  : uint64_t(progress_) * total / 10000;
    v.size_text = FormatProgressSize(std::min(done, total), total);
    for (int i = 0; i < kPackageFiles; ++i) {
        const FileSlot& f = files_[size_t(i)];
        FileView& fv = v.files[size_t(i)];
        fv.name = table_.files[size_t(i)].name;
        fv.size = table_.files[size_t(i)].size;
        fv.progress = f.complete ? 10000 : f.progress;
        fv.speed = f.complete ? 0 : f.speed;
        fv.status = f.status;
        fv.downloaded = f.complete ? fv.size : f.downloaded;
        fv.complete = f.complete;
        fv.has_task = f.handle != nullptr;
        fv.progress_ok = f.handle != nullptr && f.progress_ok;
        fv.bitfield = f.bitfield;
        fv.bits = f.bits;
    }
    v.verify_file = verify_file_;
    v.verify_progress = verify_progress_[size_t(std::clamp(verify_file_.load(), 0, kPackageFiles - 1))];
    v.verify_overall = OverallVerifyProgress();
    v.repair_progress = repair_progress_;
    v.repair_speed = repair_speed_;
    v.repair_reported = repair_reported_;
    v.repaired = repaired_;
    v.session_seconds = session_seconds_;
    v.ticks = ticks_;
    v.save_path = save_path_;
    v.speed_limit_kib = speed_limit_kib_ == kNoSpeedLimitStored ? 0 : speed_limit_kib_;
    v.auto_shutdown = auto_shutdown_;
    v.close_selection = close_selection_;
    v.exit_requested = exit_requested_;
    v.outcome = outcome_;
    return v;
}

}  // namespace zl::app
