#include "engine/core/peers/peer_order.h"

#include <algorithm>

#include "engine/core/sched/transfer_pace.h"

namespace zl {
namespace {

int Compare(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int Larger(int64_t a, int64_t b) { return Compare(b, a); }  // the larger first

}  // namespace

int ComparePeers(const PeerOrderFacts& a, const PeerOrderFacts& b, bool seeding) {
    if (!a.present || !b.present) return a.present ? -1 : (b.present ? 1 : 0);
    if (a.handshake_done != b.handshake_done) return a.handshake_done ? -1 : 1;
    if (!a.handshake_done) return 0;
    if (seeding) {
        if (a.seen_by_snapshot != b.seen_by_snapshot) return a.seen_by_snapshot ? 1 : -1;
        if (a.queued_output != b.queued_output) return a.queued_output ? 1 : -1;
        if (a.node && b.node)
            if (int c = Larger(a.pieces_held, b.pieces_held)) return c;
        if (int c = Larger(a.upload_accumulator / 2048, b.upload_accumulator / 2048)) return c;
        return Larger(a.send_rate / 2048, b.send_rate / 2048);
    }
    if (int c = Larger(a.download_accumulator / 2048, b.download_accumulator / 2048)) return c;
    if (int c = Larger(a.receive_rate / 2048, b.receive_rate / 2048)) return c;
    if (a.seen_by_snapshot != b.seen_by_snapshot) return a.seen_by_snapshot ? 1 : -1;
    if (int c = Compare(a.upload_accumulator / 2048, b.upload_accumulator / 2048)) return c;
    if (int c = Compare(a.total_sent / 2048, b.total_sent / 2048)) return c;
    return Larger(int64_t(a.serial), int64_t(b.serial));
}

std::vector<size_t> ChoosePeersToDrop(const std::vector<DropFacts>& peers, int32_t kind_mask, int32_t count,
                                      DropMode mode, int64_t current_speed) {
    std::vector<size_t> out;
    if (count <= 0 || peers.empty()) return out;
    if (mode == DropMode::kAny) {
        for (size_t i = peers.size(); i-- > 0 && int64_t(out.size()) < count;)
            if (peers[i].kind & kind_mask) out.push_back(i);
        return out;
    }
    // Only the last `count` positions are looked at: good peers sort to the front.
    const size_t stop = peers.size() > size_t(count) ? peers.size() - size_t(count) : 0;
    const int64_t slow = current_speed / int64_t(peers.size()) / 5;
    for (size_t i = peers.size(); i-- > stop;) {
        const DropFacts& p = peers[i];
        if (!(p.kind & kind_mask) || p.exhausted_server) continue;
        if (mode == DropMode::kKeepGoodSpeedAware && !(p.download_rate <= slow || p.download_rate < 1)) continue;
        out.push_back(i);
    }
    return out;
}

int32_t OrderKeyAfterDrop(int32_t order_key) { return std::max(order_key - 1, 20); }

PruneLimits ComputePruneLimits(const PruneInput& in) {
    PruneLimits l;
    const int64_t base = int64_t(in.connection_budget) - 6;
    l.keep_count = base - std::max<int64_t>(base / 12 - 6, 0);
    l.index_threshold = l.keep_count + 12;
    l.near_end = in.metainfo_loaded && in.missing_pieces <= 6;
    l.choke_threshold = UnchokeLimit(in.average_download_speed, in.pass_quota);
    return l;
}

std::vector<uint32_t> PlanPruning(const PruneLimits& l, const std::vector<PruneFacts>& peers, int64_t connected) {
    std::vector<uint32_t> plan(peers.size(), kPruneKeep);
    if (connected <= 0 || connected <= l.keep_count) return plan;
    for (size_t i = peers.size(); i-- > 0;) {
        const PruneFacts& p = peers[i];
        if (p.server) continue;
        const bool handshaken_node = p.node && p.handshake_done;
        const bool drop = (handshaken_node && connected > l.keep_count && p.should_disconnect) ||
                          (int64_t(i) > l.index_threshold && p.download_rate == 0);
        if (drop) {
            plan[i] = kPruneDrop;
            if (handshaken_node) --connected;
            continue;
        }
        if (!handshaken_node || int64_t(i) <= l.choke_threshold) continue;
        if (!p.we_choke) plan[i] |= kPruneChoke;
        if (p.not_interested) plan[i] |= kPruneNotInterested;
    }
    return plan;
}

}  // namespace zl
