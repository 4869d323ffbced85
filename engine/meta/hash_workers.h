// Piece hashing on worker threads, so the thread that receives the data
// never waits for SHA-1. The owner hands over a piece's bytes as spans of
// memory that it leaves untouched until the job ended (its result taken, or
// Cancel returned), the SHA-1 state of the bytes before them and the digest
// the piece must have. A worker hashes them with no lock held; results come
// back in the order the jobs were handed over, whatever order the workers
// finish in. One owner thread submits and takes results.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/meta/sha1.h"

namespace zl {

class HashWorkers {
public:
    struct Span {
        const uint8_t* data = nullptr;
        size_t length = 0;
    };
    struct Job {
        int32_t piece = -1;
        uint64_t tag = 0;        // the owner's, returned with the result
        SHA1Context state{};     // covers the bytes before the spans
        std::vector<Span> spans;
        Sha1Digest expected{};
    };
    struct Result {
        int32_t piece = -1;
        uint64_t tag = 0;
        bool matched = false;
    };
    using Ticket = uint64_t;

    // `threads` workers (at least one).
    explicit HashWorkers(int threads = 1);
    // Stop(): jobs not started yet are dropped; running ones finish first.
    ~HashWorkers();
    HashWorkers(const HashWorkers&) = delete;
    HashWorkers& operator=(const HashWorkers&) = delete;

    Ticket Submit(Job job);
    // Appends the results of the oldest ended jobs, in submission order, up to
    // the first job still queued or running; cancelled jobs give none.
    size_t TakeResults(std::vector<Result>& out);
    // The job gives no result: a queued one never runs, a running one is
    // waited for. Its spans are free again when this returns.
    void Cancel(Ticket ticket);
    // Waits until every job handed over has ended.
    void WaitAll();
    // Waits until the jobs not ended yet hold at most `bytes` (the owner's
    // bound on memory waiting for a worker).
    void WaitUnfinishedAtMost(int64_t bytes);
    // Jobs handed over whose results were not taken yet.
    size_t Pending() const;
    // Jobs whose results can be taken now without waiting.
    bool ResultsReady() const;

    // Ends the workers: a running job finishes, the jobs not started yet are
    // dropped (they give no result). Returns how many were dropped; later
    // calls return 0. Nothing is submitted after it.
    size_t Stop();

    static bool Matches(const Job& job);

private:
    struct Entry {
        Job job;
        int64_t bytes = 0;
        bool started = false;
        bool done = false;
        bool cancelled = false;
        bool matched = false;
    };
    void Work();
    Entry* EntryOf(Ticket ticket);

    mutable std::mutex mutex_;
    std::condition_variable work_;   // a job was queued, or stop
    std::condition_variable ended_;  // a job ended
    std::deque<Entry> entries_;      // front: the oldest job whose result was not taken
    Ticket front_ = 0;               // the ticket of entries_.front()
    Ticket next_start_ = 0;          // the oldest ticket no worker took yet
    int64_t unfinished_bytes_ = 0;   // span bytes of the jobs not ended
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace zl
