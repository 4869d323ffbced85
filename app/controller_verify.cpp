// Verification by MD5 and repair rounds, and the running MD5 of each file's
// verified prefix that leaves verification little to read.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "app/app_events.h"
#include "app/app_log.h"
#include "app/controller.h"
#include "app/finish_info.h"
#include "engine/core/api/engine_codes.h"
#include "engine/meta/atomic_file.h"

namespace zl::app {
namespace {

constexpr char kRepairFailed[] =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复";
constexpr int kMaxRepairRounds = 5;
constexpr int kReloadAttempts = 4;

bool RepairHopeless(int32_t status) {
    return status == STATUS_TIMED_OUT || status == STATUS_DISK_FULL || status == STATUS_METAINFO_FAILED ||
           status == STATUS_DOWNLOAD_ERROR || status == STATUS_WRITE_FAILED;
}

std::string RoundsText(int rounds) { return "修复次数：" + std::to_string(rounds); }

}  // namespace

void AppController::Verify(bool install_after) {
    std::unique_lock lock(m_);
    switch (state_.load()) {
        case kStateCheckRecover:
            Message("部分文件错误，正在修复中...");
            return;
        case kStateMd5Checking:
            Message("MD5计算工作中……请等待完成");
            return;
        case kStateCheckFinished:
            Install(true);
            return;
        case kStateFinished:
            break;
        default:
            if (state_ == kStateFailed && progress_ >= 10000)
                Message(kRepairFailed);
            else
                Message("请先将客户端下载完成，再点击检查按钮");
            return;
    }
    SetState(kStateMd5Checking);
    verify_file_ = 0;
    for (auto& p : verify_progress_) p = 0;
    install_after_verify_ = install_after;
    repaired_ = false;
    MarkStart();
    SaveIni();
    if (verify_thread_.joinable()) verify_thread_.join();  // a finished earlier run
    try {
        verify_thread_ = std::thread([this] { VerifyRun(); });
    } catch (const std::system_error&) {
        Message("检查线程创建失败，请重试");
        SetState(kStateFinished);
    }
}

std::string AppController::ComputeMd5(int i, std::atomic<uint32_t>* progress) {
    std::string target;
    {
        std::lock_guard lock(m_);
        target = TargetPath(i);
    }
    const std::optional<FileIdentity> id = IdentityOf(target);
    if (!id) return "";
    const uint64_t size = id->size;
    auto report = [&](uint64_t offset) {
        if (progress) *progress = size == 0 ? 10000u : uint32_t(std::min<uint64_t>(offset * 10000 / size, 10000));
    };
    std::lock_guard hold(prefix_locks_[size_t(i)]);
    PrefixMd5& prefix = prefix_[size_t(i)];
    if (prefix.Offset() > size) prefix.Reset();
    report(prefix.Offset());
    if (!prefix.Advance(target, size, [this] { return stopping_.load() || verify_cancel_.load(); }, report) && prefix.Offset() < size) return "";
    report(size);
    return prefix.DigestHex();
}

uint32_t AppController::OverallVerifyProgress() const {
    uint64_t sum = 0, done = 0;
    bool by_bytes = true;
    for (const PackageFile& f : table_.files)
        if (f.size >> 20) by_bytes = false;
    const int current = std::clamp(verify_file_.load(), 0, kPackageFiles - 1);
    for (int i = 0; i < kPackageFiles; ++i) {
        const uint64_t s = by_bytes ? table_.files[size_t(i)].size : table_.files[size_t(i)].size >> 20;
        sum += s;
        if (i < current) done += s * 10000;
        if (i == current) done += s * std::min<uint32_t>(verify_progress_[size_t(i)], 10000);
    }
    return sum ? uint32_t(done / sum) : 0;
}

bool AppController::RepairRound(int i) {
    TaskHandle old;
    {
        std::lock_guard lock(m_);
        SetState(kStateCheckRecover);
        repair_progress_ = 0;
        repair_speed_ = 0;
        repair_reported_ = false;
        old = files_[size_t(i)].handle;
    }
    if (old) s_.engine.Stop(old);
    // Without its resume information the new task checks every piece on disk
    // instead of trusting the bitfield that produced the wrong file.
    {
        std::lock_guard lock(m_);
        ::unlink(TaskInfoPath(i).c_str());
        ::unlink((TaskInfoPath(i) + "df").c_str());
        ::unlink(PrefixStatePath(i).c_str());
    }
    {
        std::lock_guard hold(prefix_locks_[size_t(i)]);
        prefix_[size_t(i)].Reset();
    }
    TaskHandle handle = nullptr;
    for (int attempt = 0; attempt < kReloadAttempts && !handle && !stopping_; ++attempt) {
        std::lock_guard lock(m_);
        FileSlot& f = files_[size_t(i)];
        if (!FillDescriptor(i, true)) continue;
        if (s_.engine.RecoverAndContinue(&f.descriptor, true) == ENGINE_OK && f.descriptor.handle) {
            handle = f.descriptor.handle;
            f.handle = handle;
            f.complete = false;
            f.last_status = 0;
        }
    }
    if (!handle) {
        if (stopping_) return false;
        std::lock_guard lock(m_);
        Message("修复出错，请尝试重新启动下载器");
        AppLog("repair: the task could not be reloaded", kLogFailure);
        SetState(kStateFailed);
        outcome_ = Outcome::kVerifyFailed;
        return false;
    }
    uint64_t last_bytes = 0;
    uint64_t last_change = s_.clock.TickMs();
    for (;;) {
        if (!s_.clock.SleepMsUnless(1000, [this] { return stopping_.load(); })) return false;
        TaskProgressInfo info{};
        if (s_.engine.GetProgress(handle, &info) != ENGINE_OK) continue;
        repair_progress_ = uint32_t(std::clamp(info.progress, 0, 10000));
        repair_speed_ = uint32_t(std::max(info.speed, 0));
        repair_reported_ = true;
        if (info.progress > 9999) break;
        const uint64_t now = s_.clock.TickMs();
        if (info.downloaded != last_bytes) {
            last_bytes = info.downloaded;
            last_change = now;
        }
        // A task that ended with an error, or that gets nowhere, will not
        // repair the file: give up rather than wait forever.
        if (RepairHopeless(info.status) ||
            now - last_change > uint64_t(settings_.repair_stall_limit_s) * 1000) {
            AppLog("repair of " + table_.files[size_t(i)].name + " gave up (status " + std::to_string(info.status) + ")",
                   kLogFailure);
            return false;
        }
    }
    std::lock_guard lock(m_);
    RecordFinishInfo(ini_, i, StampOf(TargetPath(i)));
    files_[size_t(i)].complete = true;
    SetState(kStateMd5Checking);
    SaveIni();
    return true;
}

void AppController::VerifyRun() {
    // Every file's MD5 is computed at once on as many threads as there are
    // cores; the results are then taken in file order, as the checks expect.
    std::array<std::string, kPackageFiles> digests;
    std::array<bool, kPackageFiles> ready{};
    std::mutex results_mutex;
    std::condition_variable results_ready;
    std::atomic<int> next{0};
    unsigned workers = settings_.verify_threads > 0 ? unsigned(settings_.verify_threads)
                                                    : std::max(1u, std::thread::hardware_concurrency());
    workers = std::min<unsigned>(workers, kPackageFiles);
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < workers; ++w) {
        pool.emplace_back([&] {
            for (int i; (i = next.fetch_add(1)) < kPackageFiles;) {
                std::string d = ComputeMd5(i, &verify_progress_[size_t(i)]);
                std::lock_guard lock(results_mutex);
                digests[size_t(i)] = std::move(d);
                ready[size_t(i)] = true;
                results_ready.notify_all();
            }
        });
    }
    auto take = [&](int i) {
        std::unique_lock lock(results_mutex);
        results_ready.wait(lock, [&] { return ready[size_t(i)]; });
        return digests[size_t(i)];
    };
    auto check = [&](int i, const std::string& md5, bool keep) {
        const PackageFile& f = table_.files[size_t(i)];
        char line[512];
        if (md5 != f.md5) {
            std::snprintf(line, sizeof line, "MD5不匹配：%s，Except：%s，Actural：%s", f.name.c_str(), f.md5.c_str(),
                          md5.c_str());
            AppLog(line);
            std::lock_guard lock(m_);
            if (keep) last_bad_md5_ = md5;
            verify_progress_[size_t(i)] = 0;
            return false;
        }
        std::snprintf(line, sizeof line, "MD5匹配：%s，Except：%s，Actural：%s", f.name.c_str(), f.md5.c_str(),
                      md5.c_str());
        AppLog(line);
        return true;
    };

    bool failed = false;
    for (int i = 0; i < kPackageFiles && !failed && !stopping_; ++i) {
        verify_file_ = i;
        verifying_file_ = i;
        int rounds = 0;
        bool match = check(i, take(i), true);
        if (stopping_) break;
        if (!match) {
            std::lock_guard lock(m_);
            Report({kEventMd5Mismatch, "MD5 unmatched (" + last_bad_md5_ + ")", TargetPath(i), false, {}});
        }
        while (!match && rounds < kMaxRepairRounds && !stopping_) {
            if (!RepairRound(i)) {
                if (State() == kStateFailed || stopping_) {  // reload failed, already reported
                    failed = true;
                    break;
                }
                rounds = kMaxRepairRounds;  // gave up waiting: counts as a final failure
                break;
            }
            match = check(i, ComputeMd5(i, &verify_progress_[size_t(i)]), false);
            ++rounds;
            if (match) {
                std::lock_guard lock(m_);
                repaired_ = true;
                Report({kEventRepairMatched, RoundsText(rounds), TargetPath(i), false, {}});
            }
        }
        if (!match && !failed && !stopping_) {
            std::lock_guard lock(m_);
            Message(kRepairFailed);
            Report({kEventUnexpectedExit, RoundsText(rounds), "", false, {}});
            SetState(kStateFailed);
            outcome_ = Outcome::kVerifyFailed;
            failed = true;
        }
    }
    verify_cancel_ = true;  // files not needed any more are not read to the end
    for (std::thread& t : pool) t.join();
    verify_cancel_ = false;
    verifying_file_ = -1;
    if (failed || stopping_) return;
    std::lock_guard lock(m_);
    Report({kEventPackageVerified, "", "", false, {}});
    SetState(kStateCheckFinished);
    outcome_ = Outcome::kVerified;
    if (install_after_verify_) pending_install_ = true;
}

void AppController::PrefixHashRun() {
    while (!stopping_) {
        {
            std::unique_lock lock(prefix_wake_mutex_);
            prefix_wake_.wait_for(lock, std::chrono::milliseconds(300));
        }
        if (stopping_) break;
        for (int i = 0; i < kPackageFiles && !stopping_; ++i) {
            std::string target;
            TaskHandle handle;
            bool complete;
            int64_t piece_length;
            uint64_t size;
            {
                std::lock_guard lock(m_);
                if (state_ == kStateCheckRecover || state_ == kStateExiting || exit_logged_) break;
                const FileSlot& f = files_[size_t(i)];
                target = TargetPath(i);
                handle = f.handle;
                complete = f.complete;
                piece_length = f.piece_length;
                size = table_.files[size_t(i)].size;
            }
            uint64_t upto = 0;
            if (complete) {
                const std::optional<FileIdentity> id = IdentityOf(target);
                upto = id ? id->size : 0;
            } else if (handle && piece_length > 0) {
                const int32_t bytes = s_.engine.GetBitfieldSize(handle);
                if (bytes <= 0) continue;
                std::vector<uint8_t> bits(static_cast<size_t>(bytes));
                const int32_t count = s_.engine.GetBitfield(handle, bits.data(), bytes);
                int64_t leading = 0;
                while (leading < count && (bits[size_t(leading / 8)] & (0x80 >> (leading % 8)))) ++leading;
                upto = std::min<uint64_t>(uint64_t(leading) * uint64_t(piece_length), size);
            }
            std::unique_lock hold(prefix_locks_[size_t(i)], std::try_to_lock);
            if (!hold.owns_lock() || prefix_[size_t(i)].Offset() >= upto) continue;
            prefix_[size_t(i)].Advance(target, upto, [this] { return stopping_.load(); });
        }
    }
}

void AppController::SavePrefixStates() {
    for (int i = 0; i < kPackageFiles; ++i) {
        std::lock_guard hold(prefix_locks_[size_t(i)]);
        const std::string target = TargetPath(i);
        const std::optional<FileIdentity> id = IdentityOf(target);
        if (!id || prefix_[size_t(i)].Offset() == 0) continue;
        // A state that cannot be saved only costs hashing that prefix again later.
        (void)WriteFileAtomic(PrefixStatePath(i), prefix_[size_t(i)].Serialize(*id));
    }
}

void AppController::LoadPrefixStates() {
    for (int i = 0; i < kPackageFiles; ++i) {
        std::lock_guard hold(prefix_locks_[size_t(i)]);
        const std::optional<std::string> record = ReadWholeFile(PrefixStatePath(i), 4096);
        const std::optional<FileIdentity> id = IdentityOf(TargetPath(i));
        if (!record || !id) continue;
        // A partial prefix spares a resumed download the re-read; a digest of
        // the whole file is never taken over from an earlier run, so that
        // verification after a restart reads every byte again.
        if (prefix_[size_t(i)].Deserialize(*record, *id) && prefix_[size_t(i)].Offset() >= id->size)
            prefix_[size_t(i)].Reset();
    }
}

void AppController::JoinThreads() {
    stopping_ = true;
    prefix_wake_.notify_all();
    s_.clock.WakeSleepers();
    if (mirror_thread_.joinable()) mirror_thread_.join();
    if (verify_thread_.joinable()) verify_thread_.join();
    if (prefix_thread_.joinable()) prefix_thread_.join();
}

void AppController::WaitForBackgroundWork() {
    for (;;) {
        {
            std::lock_guard lock(m_);
            if (!mirror_busy_ && verifying_file_ < 0 && state_ != kStateMd5Checking && state_ != kStateCheckRecover)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (mirror_thread_.joinable() && !mirror_busy_) mirror_thread_.join();
}

}  // namespace zl::app
