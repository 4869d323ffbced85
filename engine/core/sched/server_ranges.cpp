#include "engine/core/sched/server_ranges.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace zl {

int32_t SubRangeCount(int64_t length, int32_t max_connections) {
    const int64_t m = std::min<int64_t>({length, (length + 5) / 5, int64_t(max_connections)});
    return int32_t(std::max<int64_t>(m, 1));
}

RangePlan PlanServerRanges(int32_t piece_count, const std::vector<ServerCandidateInfo>& candidates) {
    RangePlan plan;
    plan.max_connections.assign(candidates.size(), -1);
    auto takes_part = [](const ServerCandidateInfo& c) {
        return c.server && !c.whole_content && !c.metainfo_source;
    };
    const int64_t pieces = piece_count;
    const int64_t n = std::count_if(candidates.begin(), candidates.end(), takes_part);
    if (pieces <= 0 || n == 0) return plan;
    plan.ok = true;
    int64_t k = 0;
    for (size_t i = 0; i < candidates.size() && k < std::min(n, pieces); ++i) {
        if (!takes_part(candidates[i])) continue;
        int64_t first, last;
        if (n >= pieces) {
            first = last = k;
        } else {
            first = pieces / n * k;
            last = k == n - 1 ? pieces - 1 : pieces / n * (k + 1) - 1;
        }
        ++k;
        const int64_t length = last - first + 1;
        const int32_t m = SubRangeCount(length, candidates[i].max_connections);
        plan.max_connections[i] = m;
        const int64_t step = length / m;
        for (int32_t j = 0; j < m; ++j) {
            const int64_t sub_first = first + step * j;
            const int64_t sub_last = j == m - 1 ? last : sub_first + step - 1;
            plan.ranges.push_back({i, int32_t(sub_first), int32_t(sub_last)});
        }
    }
    return plan;
}

int64_t SplitSharePercent(int64_t peer_rate, int64_t owner_rate, bool peer_claimed_before) {
    int64_t m = 50;
    if (peer_claimed_before) {
        const int64_t sum = peer_rate + owner_rate;
        m = sum > 0 ? peer_rate * 100 / sum : 0;
    }
    if (m < 100 && 2 * owner_rate < peer_rate) ++m;
    return m;
}

int64_t SplitTakenPieces(int64_t remaining, int64_t percent, int64_t peer_rate, int64_t owner_rate) {
    if (remaining <= 0) return 0;
    int64_t e = remaining > 1 ? remaining * percent / 100 : 1;
    if (e < remaining && 2 * owner_rate < peer_rate) ++e;
    return std::min(e, remaining);
}

bool ShouldJumpToPosition(bool is_server, int32_t found_piece, int32_t position, int32_t snapshot) {
    if (!is_server || found_piece <= 0 || position <= 0) return false;
    const int64_t distance = int64_t(position) - int64_t(snapshot);
    return distance > 6 || distance < -6;
}

TPieceRange* ServerRanges::Add(int32_t first, int32_t last, TPeerId* source, TPeerObject* owner, uint64_t now) {
    TPieceRange& r = ranges_.emplace_back();
    r.first = r.current = first;
    r.last = last;
    r.source = RefPtr<TPeerId>::Share(source);
    r.owner = owner;
    r.assigned_at = owner ? now : 0;
    return &r;
}

void ServerRanges::AddPlanned(const RangePlan& plan, const std::vector<TPeerId*>& candidates, uint64_t) {
    for (const PlannedRange& p : plan.ranges)
        Add(p.first, p.last, p.candidate < candidates.size() ? candidates[p.candidate] : nullptr, nullptr, 0);
}

void ServerRanges::Remove(TPieceRange* range) {
    for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
        if (&*it == range) {
            ranges_.erase(it);
            return;
        }
    }
}

bool ServerRanges::PieceInAnyRange(int32_t piece) const {
    for (const TPieceRange& r : ranges_)
        if (piece >= r.first && piece <= r.last) return true;
    return false;
}

TPieceRange* ServerRanges::Take(TPieceRange& range, TPeerObject& peer, uint64_t now) {
    range.owner = &peer;
    range.assigned_at = now;
    facts_.NoteClaimed(peer);
    return &range;
}

TPieceRange* ServerRanges::Assign(TPeerObject& peer, uint64_t now, TaskRandom& random) {
    if (ranges_.empty()) return nullptr;

    // Continue right after the piece the peer finished last.
    const int32_t last_piece = facts_.LastPiece(peer);
    if (last_piece >= 0) {
        for (TPieceRange& r : ranges_)
            if (!r.finished && !r.discard && !r.owner && int64_t(r.current) == int64_t(last_piece) + 1)
                return Take(r, peer, now);
    }

    // A free range, looked for from a random place so that connections spread.
    auto is_free = [](const TPieceRange& r) { return !r.finished && !r.incomplete && !r.discard && !r.owner; };
    const int64_t n = int64_t(ranges_.size());
    const int64_t start = random.Below(n);
    auto begin = std::next(ranges_.begin(), start);
    for (auto it = begin; it != ranges_.end(); ++it)
        if (is_free(*it)) return Take(*it, peer, now);
    for (auto it = ranges_.begin(); it != begin; ++it)
        if (is_free(*it)) return Take(*it, peer, now);

    // A range that made no progress for 10 s, or one left incomplete.
    for (TPieceRange& r : ranges_) {
        if (r.discard || (r.finished && !r.incomplete)) continue;
        if (r.current == r.first && !r.incomplete && now > r.assigned_at && now - r.assigned_at > 10) {
            if (r.owner) facts_.ReleaseOwnedRange(*r.owner);
            r.owner = nullptr;
            return Take(r, peer, now);
        }
        if (r.incomplete && !r.owner) return Take(r, peer, now);
    }

    return Split(peer, now);
}

TPieceRange* ServerRanges::PickToSplit(TPeerObject& peer, uint64_t now) {
    const int64_t peer_rate = facts_.DownloadRate(peer);
    const int64_t piece_length = facts_.PieceLength();
    const bool many_missing = facts_.MissingPieces() >= 4;
    constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();

    TPieceRange* best = nullptr;
    int64_t best_seconds = -1;
    for (TPieceRange& r : ranges_) {
        if (!r.owner || r.finished || r.discard || r.owner == &peer) continue;
        const int64_t owner_rate = facts_.DownloadRate(*r.owner);
        const bool stale = now > r.assigned_at && now - r.assigned_at > 10;
        if (!stale && owner_rate <= 0) continue;
        const int64_t left = int64_t(r.last) - r.current + 1;
        if (!(left > 1 || (left == 1 && (owner_rate <= 0 || peer_rate >= 2 * owner_rate)))) continue;
        if (owner_rate <= 0) return &r;  // its owner delivers nothing: split it now
        const int64_t seconds = left * piece_length / owner_rate;
        if (seconds <= 10 && many_missing) continue;
        if (seconds <= best_seconds) continue;
        best = &r;
        best_seconds = seconds;
    }
    if (best || facts_.RangesClaimed(peer) > 0) return best;

    // A newcomer may also split ranges that have just started.
    for (TPieceRange& r : ranges_) {
        if (!r.owner || r.finished || r.discard || r.owner == &peer) continue;
        const int64_t left = int64_t(r.last) - r.current + 1;
        if (now >= r.assigned_at && now - r.assigned_at < 3 && left <= 1) continue;
        const int64_t owner_rate = facts_.DownloadRate(*r.owner);
        const int64_t seconds = owner_rate > 0 ? left * piece_length / owner_rate : kUnbounded;
        if (seconds <= best_seconds) continue;
        best = &r;
        best_seconds = seconds;
        if (owner_rate <= 0) break;
    }
    return best;
}

TPieceRange* ServerRanges::InsertAfter(TPieceRange& old, int32_t first, int32_t last, TPeerObject& peer,
                                       uint64_t now) {
    auto at = ranges_.begin();
    while (&*at != &old) ++at;
    TPieceRange& r = *ranges_.emplace(std::next(at));
    r.first = r.current = first;
    r.last = last;
    r.source = RefPtr<TPeerId>::Share(facts_.Identity(peer));
    return Take(r, peer, now);
}

TPieceRange* ServerRanges::Split(TPeerObject& peer, uint64_t now) {
    const int64_t peer_rate = facts_.DownloadRate(peer);
    const bool claimed_before = facts_.RangesClaimed(peer) > 0;
    if (peer_rate <= 0 && claimed_before) return nullptr;
    TPieceRange* picked = PickToSplit(peer, now);
    if (!picked) return nullptr;
    TPieceRange& old = *picked;
    while (old.last > old.current && !facts_.PieceNeeded(old.last)) --old.last;

    TPeerObject& owner = *old.owner;
    const int64_t owner_rate = facts_.DownloadRate(owner);
    const int64_t percent = SplitSharePercent(peer_rate, owner_rate, claimed_before);
    const int64_t remaining = int64_t(old.last) - old.current + 1;
    const int64_t taken = SplitTakenPieces(remaining, percent, peer_rate, owner_rate);
    if (taken <= 0) return nullptr;

    const int32_t new_first = int32_t(int64_t(old.last) - taken + 1);
    const int32_t new_last = old.last;
    old.last = std::max(new_first - 1, old.current);
    old.assigned_at = now;
    // The owner is down to the very piece the newcomer starts with and is far
    // slower: the owner gives its range up instead of racing for that piece.
    const bool owner_gives_up = old.last == old.current && old.current == new_first &&
                                facts_.PieceNeeded(old.current) && peer_rate >= 3 * owner_rate;
    TPieceRange* fresh = InsertAfter(old, new_first, new_last, peer, now);
    if (owner_gives_up) {
        old.finished = true;
        facts_.ReleaseOwnedRange(owner);
        old.owner = nullptr;
    }
    return fresh;
}

TPieceRange* ServerRanges::SplitAt(int32_t position, TPeerObject& peer, uint64_t now) {
    for (TPieceRange& r : ranges_) {
        if (r.finished || r.discard || position < r.current || position > r.last) continue;
        if (!r.owner) {
            if (position == r.current) return Take(r, peer, now);
            const int32_t last = r.last;
            r.last = position - 1;
            return InsertAfter(r, position, last, peer, now);
        }
        // The owner keeps the piece it is working on; the peer starts exactly
        // at the position (it sets its current piece there).
        if (r.owner == &peer || position == r.current) return nullptr;
        const int32_t last = r.last;
        r.last = position - 1;
        return InsertAfter(r, position, last, peer, now);
    }
    return nullptr;
}

}  // namespace zl
