#include "engine/core/sched/have_announcer.h"

#include <algorithm>


namespace zl {

void HaveAnnouncer::Resize(int32_t piece_count) {
    queue_.clear();
    queued_.assign(size_t(piece_count > 0 ? piece_count : 0), false);
}

bool HaveAnnouncer::Queue(int32_t piece) {
    if (piece < 0 || size_t(piece) >= queued_.size() || queued_[size_t(piece)]) return false;
    queued_[size_t(piece)] = true;
    queue_.push_back(piece);
    return true;
}

bool HaveAnnouncer::Due(uint64_t now_ms) const {
    if (queue_.empty()) return false;
    // A clock that went back counts as time passed.
    return !batched_ || now_ms < last_batch_ms_ || now_ms - last_batch_ms_ >= kHaveBatchMs;
}

std::vector<std::vector<uint8_t>> HaveAnnouncer::TakeBatch(uint64_t now_ms) {
    std::vector<std::vector<uint8_t>> buffers;
    if (!Due(now_ms)) return buffers;
    last_batch_ms_ = now_ms;
    batched_ = true;
    for (size_t i = 0; i < queue_.size(); ++i) {
        if (i % kHavesPerBuffer == 0) {
            const size_t n = std::min<size_t>(queue_.size() - i, kHavesPerBuffer);
            buffers.emplace_back();
            buffers.back().reserve(n * kHaveMessageSize);
        }
        const uint32_t index = uint32_t(queue_[i]);
        const uint8_t message[kHaveMessageSize] = {0, 0, 0, 5, 4, uint8_t(index >> 24), uint8_t(index >> 16),
                                                   uint8_t(index >> 8), uint8_t(index)};
        buffers.back().insert(buffers.back().end(), message, message + kHaveMessageSize);
        queued_[size_t(queue_[i])] = false;
    }
    queue_.clear();
    return buffers;
}

}  // namespace zl
