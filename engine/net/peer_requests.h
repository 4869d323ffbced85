// Block request records and a peer's list of outstanding requests: kept in
// request order, and indexed by block so that matching a received block costs
// one lookup however deep the queue is.
#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "engine/meta/block_size.h"

namespace zl {

struct RequestRecord {
    int64_t block = 0;   // byte offset in the torrent / 16384
    int32_t length = 0;  // at most 16384
    uint64_t time = 0;   // engine seconds when it was sent or queued
    int32_t piece = 0;   // the piece holding the block
    bool sent = false;   // written to the remote (BitTorrent)
};

class RequestList {
public:
    using Iterator = std::list<RequestRecord>::iterator;

    size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    bool Contains(int64_t block) const { return index_.count(block) != 0; }
    bool HasPiece(int32_t piece) const {
        auto it = per_piece_.find(piece);
        return it != per_piece_.end() && it->second > 0;
    }
    // False when the block is already listed.
    bool Add(const RequestRecord& record);
    RequestRecord* Find(int64_t block);
    // Removes the request for (block, length); with only_sent, only a request
    // already sent matches. False when there is no such request.
    bool Take(int64_t block, int32_t length, bool only_sent);
    bool Remove(int64_t block);
    // Removes the requests of a piece that were not sent yet; returns how many.
    size_t DropUnsent(int32_t piece);
    std::vector<RequestRecord> TakeAll();
    void Clear();

    std::list<RequestRecord>& records() { return order_; }
    const std::list<RequestRecord>& records() const { return order_; }

private:
    void Erase(Iterator it);

    std::list<RequestRecord> order_;
    std::unordered_map<int64_t, Iterator> index_;
    std::unordered_map<int32_t, int32_t> per_piece_;
};

}  // namespace zl
