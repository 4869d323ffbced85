// Group commit: request threads hand their validated posts to one writer
// thread, which stores everything waiting in one transaction and answers each
// post once that transaction is committed. A post is answered as stored only
// when it is on disk; with many senders one commit covers many posts.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/zlstats/event_store.h"

namespace zl::stats {

class IngestQueue {
public:
    using Opener = std::function<std::unique_ptr<SqlDb>()>;
    using Logger = std::function<void(const std::string&)>;
    IngestQueue(Opener open, int64_t retry_window, Logger log);
    ~IngestQueue();  // stores what waits, then stops

    // Blocks until the post is committed; nullopt when the database failed
    // (nothing of it is stored then).
    std::optional<StoreCounts> Store(ReceivedPost post);

    uint64_t Commits() const;

private:
    struct Pending {
        ReceivedPost post;
        std::promise<std::optional<StoreCounts>> done;
    };
    void Run();

    Opener open_;
    const int64_t retry_window_;
    Logger log_;
    std::unique_ptr<SqlDb> db_;  // writer thread only
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pending> pending_;
    bool stopping_ = false;
    uint64_t commits_ = 0;
    std::thread thread_;
};

}  // namespace zl::stats
