// Newly completed pieces waiting to be announced to BitTorrent peers. Each
// piece is queued once; the queue is sent in batches at most every 250 ms
// (never one message per piece), as runs of 9-byte "have" messages, at most
// 4097 to a buffer. A piece reaches the crowd only once it is announced, so
// the batch is short: with 7 s batches a piece took seconds per hop to
// spread, and peers had nothing to give each other. Owned by the piece layer
// of the task (TWorkWithPieces): pieces are queued from the piece map's have
// notice, the batch is taken after each peer pass and each buffer is sent to
// every handshaken BitTorrent peer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zl {

inline constexpr int32_t kHaveMessageSize = 9;
inline constexpr int32_t kHavesPerBuffer = 4097;
inline constexpr uint64_t kHaveBatchMs = 250;

class HaveAnnouncer {
public:
    // Empties the queue and sizes it for `piece_count` pieces.
    void Resize(int32_t piece_count);
    // Queues a completed piece once; false for a piece already queued or
    // outside the piece map.
    bool Queue(int32_t piece);
    size_t Pending() const { return queue_.size(); }

    // True when pieces wait and at least 250 ms passed since the last batch.
    bool Due(uint64_t now_ms) const;
    // When due: the queued announcements as buffers of whole messages (each
    // 00 00 00 05 04 + index in network order), the queue emptied and the
    // time remembered. Otherwise nothing.
    std::vector<std::vector<uint8_t>> TakeBatch(uint64_t now_ms);

private:
    std::vector<int32_t> queue_;
    std::vector<bool> queued_;
    uint64_t last_batch_ms_ = 0;
    bool batched_ = false;
};

}  // namespace zl
