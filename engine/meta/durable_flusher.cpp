#include "engine/meta/durable_flusher.h"

#include <algorithm>

namespace zl {

bool DurableFlusher::Flush(FileSystem& fs, Job& job, const std::atomic<bool>* cancel,
                           std::atomic<uint64_t>* flushes) {
    auto cancelled = [&] { return cancel && cancel->load(std::memory_order_relaxed); };
    for (FileRange& file : job.files) {
        if (!file.handle) return false;
        for (int64_t at = file.from; at < file.to; at += kSlice) {
            if (cancelled()) return false;
            file.handle->WriteBack(at, std::min(kSlice, file.to - at));
        }
        if (cancelled() || !file.handle->SyncData()) return false;
        if (flushes) ++*flushes;
    }
    for (const std::string& folder : job.folders) {
        // A folder that cannot be flushed (some file systems refuse) keeps the names it has.
        fs.SyncDirectory(folder);
        if (flushes) ++*flushes;
    }
    return true;
}

bool DurableFlusher::Start(Job job) {
    if (Busy()) return false;
    job_ = std::move(job);
    done_ = false;
    cancel_ = false;
    ok_ = false;
    thread_ = std::thread([this] {
        ok_ = Flush(fs_, job_, &cancel_, &flushes_);
        done_.store(true, std::memory_order_release);
    });
    return true;
}

std::optional<bool> DurableFlusher::TakeResult() {
    if (!Busy() || !done_.load(std::memory_order_acquire)) return std::nullopt;
    thread_.join();
    job_ = Job();
    return ok_.load();
}

std::optional<bool> DurableFlusher::Wait() {
    if (!Busy()) return std::nullopt;
    thread_.join();
    job_ = Job();
    return ok_.load();
}

void DurableFlusher::Cancel() {
    if (!Busy()) return;
    cancel_ = true;
    thread_.join();
    job_ = Job();
}

}  // namespace zl
