#include "engine/core/sched/requested_pieces.h"

#include <algorithm>

namespace zl {

int64_t AllowedRequesters(int64_t active_peers, int64_t finished, int64_t piece_count) {
    return std::max<int64_t>(std::max<int64_t>(active_peers / 3, 64) + finished - piece_count, 1);
}

void RequestedPieces::Resize(int32_t piece_count) {
    counts_.assign(size_t(std::max(piece_count, 0)), 0);
    entries_ = 0;
}

bool RequestedPieces::Add(int32_t piece, int64_t active_peers, int64_t finished) {
    if (piece < 0 || size_t(piece) >= counts_.size()) return false;
    int32_t& count = counts_[size_t(piece)];
    if (count > AllowedRequesters(active_peers, finished, int64_t(counts_.size()))) return false;
    ++count;
    ++entries_;
    return true;
}

bool RequestedPieces::RemoveOne(int32_t piece) {
    if (piece < 0 || size_t(piece) >= counts_.size() || counts_[size_t(piece)] == 0) return false;
    --counts_[size_t(piece)];
    --entries_;
    return true;
}

bool RequestedPieces::RemoveAll(int32_t piece) {
    if (piece < 0 || size_t(piece) >= counts_.size() || counts_[size_t(piece)] == 0) return false;
    entries_ -= counts_[size_t(piece)];
    counts_[size_t(piece)] = 0;
    return true;
}

void RequestedPieces::Clear() {
    std::fill(counts_.begin(), counts_.end(), 0);
    entries_ = 0;
}

int32_t RequestedPieces::Count(int32_t piece) const {
    return piece < 0 || size_t(piece) >= counts_.size() ? 0 : counts_[size_t(piece)];
}

bool EndgameState::Update(int64_t entries, int64_t piece_count, int64_t finished) {
    endgame_ = entries >= piece_count - finished;
    if (endgame_) seen_ = true;
    return endgame_;
}

bool DiscardOnDropAll(bool in_endgame, int64_t missing_pieces, bool stop_requested) {
    return !(in_endgame && missing_pieces > 3) && !stop_requested;
}

}  // namespace zl
