#include "engine/net/peer_requests.h"

namespace zl {

bool RequestList::Add(const RequestRecord& record) {
    if (Contains(record.block)) return false;
    order_.push_back(record);
    index_[record.block] = std::prev(order_.end());
    ++per_piece_[record.piece];
    return true;
}

RequestRecord* RequestList::Find(int64_t block) {
    auto it = index_.find(block);
    return it == index_.end() ? nullptr : &*it->second;
}

void RequestList::Erase(Iterator it) {
    auto count = per_piece_.find(it->piece);
    if (count != per_piece_.end() && --count->second <= 0) per_piece_.erase(count);
    index_.erase(it->block);
    order_.erase(it);
}

bool RequestList::Take(int64_t block, int32_t length, bool only_sent) {
    auto it = index_.find(block);
    if (it == index_.end()) return false;
    if (it->second->length != length || (only_sent && !it->second->sent)) return false;
    Erase(it->second);
    return true;
}

bool RequestList::Remove(int64_t block) {
    auto it = index_.find(block);
    if (it == index_.end()) return false;
    Erase(it->second);
    return true;
}

size_t RequestList::DropUnsent(int32_t piece) {
    size_t dropped = 0;
    for (auto it = order_.begin(); it != order_.end();) {
        auto next = std::next(it);
        if (it->piece == piece && !it->sent) {
            Erase(it);
            ++dropped;
        }
        it = next;
    }
    return dropped;
}

std::vector<RequestRecord> RequestList::TakeAll() {
    std::vector<RequestRecord> all(order_.begin(), order_.end());
    Clear();
    return all;
}

void RequestList::Clear() {
    order_.clear();
    index_.clear();
    per_piece_.clear();
}

}  // namespace zl
