#include "tools/zlstats/ingest_queue.h"

#include <vector>

namespace zl::stats {
namespace {

// Posts per transaction at most, so one commit never grows without bound.
constexpr size_t kMaxGroup = 512;

}  // namespace

IngestQueue::IngestQueue(Opener open, int64_t retry_window, Logger log)
    : open_(std::move(open)), retry_window_(retry_window), log_(std::move(log)), thread_([this] { Run(); }) {}

IngestQueue::~IngestQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::optional<StoreCounts> IngestQueue::Store(ReceivedPost post) {
    std::future<std::optional<StoreCounts>> result;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return std::nullopt;
        pending_.push_back({std::move(post), {}});
        result = pending_.back().done.get_future();
    }
    wake_.notify_one();
    return result.get();
}

uint64_t IngestQueue::Commits() const {
    std::lock_guard lock(mutex_);
    return commits_;
}

void IngestQueue::Run() {
    while (true) {
        std::deque<Pending> group;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) return;
            const size_t n = std::min(pending_.size(), kMaxGroup);
            for (size_t i = 0; i < n; ++i) {
                group.push_back(std::move(pending_.front()));
                pending_.pop_front();
            }
        }
        std::vector<const ReceivedPost*> posts;
        posts.reserve(group.size());
        for (const Pending& p : group) posts.push_back(&p.post);
        try {
            if (!db_) db_ = open_();
            const std::vector<StoreCounts> counts = StorePosts(*db_, posts, retry_window_);
            {
                std::lock_guard lock(mutex_);
                ++commits_;
            }
            for (size_t i = 0; i < group.size(); ++i) group[i].done.set_value(counts[i]);
        } catch (const std::exception& e) {
            // A broken connection is opened again for the next group.
            log_(std::string("database: ") + e.what() + "; " + std::to_string(group.size()) + " posts not stored");
            db_.reset();
            for (Pending& p : group) p.done.set_value(std::nullopt);
        }
    }
}

}  // namespace zl::stats
