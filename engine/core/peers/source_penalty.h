// What a task does to a candidate when a connection to it ends: more retry
// delay, one more attempt, and for a BitTorrent node that failed early a move
// to the end of the candidate list. Called by the peer layer of a task
// (TWorkWithPeers) whenever a peer object ends: passes 1 for a failed pass,
// 3 for a dropped identity, 6 for a pruned peer.
#pragma once
#include <cstdint>
#include <set>

#include "engine/core/peers/candidate_list.h"

namespace zl {

inline constexpr int32_t kPenaltyFailedPass = 1;
inline constexpr int32_t kPenaltyDropped = 3;
inline constexpr int32_t kPenaltyPruned = 6;

// The ended peer as the penalty sees it (has_peer false when there is none).
struct EndedPeer {
    bool has_peer = false;
    bool incoming = false;        // accepted from an incoming connection
    bool handshake_done = false;
    bool stalled = false;
};

// Addresses whose next penalty carries no extra retry delay (used once).
using MarkedAddresses = std::set<uint32_t>;

// Returns the candidate that was penalised, or null when none matched.
TPeerId* PenaliseSource(CandidateList& candidates, const TPeerId& identity, const EndedPeer& peer, int32_t passes,
                        MarkedAddresses& marked, bool data_complete);

}  // namespace zl
