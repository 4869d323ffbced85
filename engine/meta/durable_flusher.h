// Makes written files durable on a thread of its own, so a download never
// waits for the disk: the task hands over handles on the files it wrote (with
// the range written since the last flush) and the folders whose names
// changed, and picks the result up later. The ranges are written back in
// slices before the final fdatasync, so a cancel (a task that finished or
// stops) takes effect within one slice rather than after the whole flush.
// One job at a time; the thread lives for one job and is always joined.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/meta/file_system.h"

namespace zl {

class DurableFlusher {
public:
    struct FileRange {
        std::unique_ptr<FileHandle> handle;
        int64_t from = 0;  // the range written since the last flush (empty: size changes only)
        int64_t to = 0;
    };
    struct Job {
        std::vector<FileRange> files;
        std::vector<std::string> folders;
    };
    static constexpr int64_t kSlice = 8 << 20;

    explicit DurableFlusher(FileSystem& fs) : fs_(fs) {}
    DurableFlusher(const DurableFlusher&) = delete;
    DurableFlusher& operator=(const DurableFlusher&) = delete;
    ~DurableFlusher() { Cancel(); }

    // A job runs or its result was not taken yet.
    bool Busy() const { return thread_.joinable(); }
    // Starts a job; false (nothing started) while Busy().
    bool Start(Job job);
    // The result once the job ended: true when every file and folder was
    // flushed; nullopt while it runs (or when there is none).
    std::optional<bool> TakeResult();
    // Waits for the job and takes its result (nullopt when there was none).
    std::optional<bool> Wait();
    // Stops the job between slices and waits; a cancelled job is not flushed.
    void Cancel();
    // Flushes done (files and folders), for measurements.
    uint64_t Flushes() const { return flushes_.load(); }

    // The flush itself, on the calling thread (also what the thread runs).
    static bool Flush(FileSystem& fs, Job& job, const std::atomic<bool>* cancel, std::atomic<uint64_t>* flushes);

private:
    FileSystem& fs_;
    std::thread thread_;
    Job job_;
    std::atomic<bool> done_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> ok_{false};
    std::atomic<uint64_t> flushes_{0};
};

}  // namespace zl
