// The order of a task's active peers and the decisions taken over it: which
// peers to drop (DropPeers), which to prune every 4 s, and which to choke at
// pruning. Used by the peer layer of a task (TWorkWithPeers) and its
// statistics pass; the layer gathers the facts of each peer, these functions
// decide, the layer acts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zl {

// What the peer order compares.
struct PeerOrderFacts {
    bool present = true;           // false: an empty entry (sorts last)
    bool handshake_done = false;
    bool node = false;             // a BitTorrent peer
    bool seen_by_snapshot = false; // counted by a rate snapshot already
    bool queued_output = false;
    int64_t pieces_held = 0;
    int64_t upload_accumulator = 0;
    int64_t send_rate = 0;
    int64_t download_accumulator = 0;
    int64_t receive_rate = 0;
    int64_t total_sent = 0;
    uint64_t serial = 0;           // later connections have larger serials
};

// Negative when a goes first. While seeding the best uploaders go first,
// while downloading the best sources.
int ComparePeers(const PeerOrderFacts& a, const PeerOrderFacts& b, bool seeding);

// A peer as DropPeers sees it, in active-list order.
struct DropFacts {
    int32_t kind = 0;
    bool exhausted_server = false;
    int64_t download_rate = 0;
};

enum class DropMode {
    kAny,                 // the last `count` peers of the kinds
    kKeepGood,            // only among the last `count` positions, never an exhausted server
    kKeepGoodSpeedAware,  // the same, and only slow peers
};

// Indexes (into `peers`) of the peers to drop, from the end of the list.
std::vector<size_t> ChoosePeersToDrop(const std::vector<DropFacts>& peers, int32_t kind_mask, int32_t count,
                                      DropMode mode, int64_t current_speed);
// The order key a dropped identity gets in keep-good mode.
int32_t OrderKeyAfterDrop(int32_t order_key);

struct PruneInput {
    int32_t connection_budget = 52;
    bool metainfo_loaded = false;
    int64_t missing_pieces = 0;
    int64_t average_download_speed = 0;
    int32_t pass_quota = 6;
};

struct PruneLimits {
    int64_t keep_count = 0;       // handshaken BitTorrent peers kept
    int64_t index_threshold = 0;  // beyond it idle peers go
    int64_t choke_threshold = 0;  // beyond it kept peers are choked
    bool near_end = false;        // at most 6 pieces missing: ShouldDisconnect keeps stalled peers
};
PruneLimits ComputePruneLimits(const PruneInput& input);

// A peer as pruning sees it, in active-list order.
struct PruneFacts {
    bool server = false;
    bool node = false;
    bool handshake_done = false;
    bool should_disconnect = false;  // its ShouldDisconnect(near_end)
    int64_t download_rate = 0;
    bool not_interested = false;     // its statistics say it wants nothing from us
    bool we_choke = false;
};

enum PruneAction : uint32_t {
    kPruneKeep = 0,
    kPruneDrop = 1,
    kPruneChoke = 2,          // choke and mark choked-this-period
    kPruneNotInterested = 4,  // send not interested once
};

// One action per peer; all kept when `connected` (handshaken BitTorrent
// peers) does not exceed the keep count.
std::vector<uint32_t> PlanPruning(const PruneLimits& limits, const std::vector<PruneFacts>& peers, int64_t connected);
// Unchoking at the peer-statistics step and choking after stalls are decided
// by ShouldUnchoke and CheckPeerStall (peer_health.h) with the same threshold.

}  // namespace zl
