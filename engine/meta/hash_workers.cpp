#include "engine/meta/hash_workers.h"

#include <algorithm>
#include <cstring>

namespace zl {

HashWorkers::HashWorkers(int threads) {
    threads = std::max(threads, 1);
    threads_.reserve(size_t(threads));
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

HashWorkers::~HashWorkers() { Stop(); }

size_t HashWorkers::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stop_) return 0;
        stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    // The dropped jobs end as cancelled ones do, so that nothing waits for them.
    size_t dropped = 0;
    std::lock_guard<std::mutex> guard(mutex_);
    for (Entry& e : entries_) {
        if (e.started) continue;
        e.started = e.done = e.cancelled = true;
        unfinished_bytes_ -= e.bytes;
        ++dropped;
    }
    ended_.notify_all();
    return dropped;
}

bool HashWorkers::Matches(const Job& job) {
    SHA1Context ctx = job.state;
    for (const Span& s : job.spans)
        if (SHA1Input(&ctx, s.data, s.length) != kShaSuccess) return false;
    Sha1Digest digest{};
    if (SHA1Result(&ctx, digest.data()) != kShaSuccess) return false;
    return digest == job.expected;
}

HashWorkers::Entry* HashWorkers::EntryOf(Ticket ticket) {
    if (ticket < front_ || ticket - front_ >= entries_.size()) return nullptr;
    return &entries_[size_t(ticket - front_)];
}

HashWorkers::Ticket HashWorkers::Submit(Job job) {
    Ticket ticket;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ticket = front_ + entries_.size();
        int64_t bytes = 0;
        for (const Span& s : job.spans) bytes += int64_t(s.length);
        entries_.push_back(Entry{std::move(job), bytes});
        unfinished_bytes_ += bytes;
    }
    work_.notify_one();
    return ticket;
}

void HashWorkers::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stop_ || std::max(next_start_, front_) < front_ + entries_.size(); });
        if (stop_) return;
        next_start_ = std::max(next_start_, front_);
        Entry& entry = *EntryOf(next_start_++);
        if (entry.started) continue;  // cancelled before it ran
        entry.started = true;
        // The entry stays put: only ended entries leave the deque's front, and
        // nothing is inserted anywhere but at its back.
        lock.unlock();
        const bool matched = Matches(entry.job);
        lock.lock();
        entry.matched = matched;
        entry.done = true;
        unfinished_bytes_ -= entry.bytes;
        ended_.notify_all();
    }
}

size_t HashWorkers::TakeResults(std::vector<Result>& out) {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t taken = 0;
    while (!entries_.empty() && entries_.front().done) {
        const Entry& e = entries_.front();
        if (!e.cancelled) {
            out.push_back(Result{e.job.piece, e.job.tag, e.matched});
            ++taken;
        }
        entries_.pop_front();
        ++front_;
    }
    return taken;
}

void HashWorkers::Cancel(Ticket ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    Entry* entry = EntryOf(ticket);
    if (!entry) return;
    entry->cancelled = true;
    if (!entry->started) {
        entry->started = entry->done = true;
        unfinished_bytes_ -= entry->bytes;
        ended_.notify_all();
        return;
    }
    ended_.wait(lock, [&] { return EntryOf(ticket) == nullptr || EntryOf(ticket)->done; });
}

void HashWorkers::WaitAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [&] {
        return std::all_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.done; });
    });
}

void HashWorkers::WaitUnfinishedAtMost(int64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [&] { return unfinished_bytes_ <= bytes; });
}

size_t HashWorkers::Pending() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

bool HashWorkers::ResultsReady() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !entries_.empty() && entries_.front().done;
}

}  // namespace zl
