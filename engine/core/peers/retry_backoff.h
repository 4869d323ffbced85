// When a candidate may be dialled again: the retry back-off (the retry delay
// counts connector passes and shrinks for servers that have delivered pieces)
// and the eligibility check the connectors apply before every connection.
// Used by the peer layer of a task (TWorkWithPeers) in its connectors.
#pragma once
#include <cstdint>

#include "engine/net/peer_id.h"

namespace zl {

// A tracker is asked again at most this often (engine seconds).
inline constexpr uint64_t kTrackerRetrySeconds = 600;

// Evaluated once per connector pass: may shorten the retry delay and counts
// it down by one. `now` is the engine clock in seconds.
bool MayTry(TPeerId& candidate, int64_t current_speed, uint64_t now);
// The same answer without consuming a pass (for counting eligible servers).
bool WouldTry(const TPeerId& candidate, int64_t current_speed, uint64_t now);

// Task and peer facts the eligibility check needs.
class ICandidateFacts {
public:
    virtual ~ICandidateFacts() = default;
    virtual bool IsBlocked(uint32_t address) const = 0;          // the IP filter
    virtual bool HasConnectionTo(uint32_t address, int32_t port) const = 0;
    virtual bool HasConnectedPeer(uint32_t address, const PeerIdBytes& peer_id) const = 0;
    virtual bool DataComplete() const = 0;
    virtual int64_t CurrentSpeed() const = 0;
    virtual uint64_t Now() const = 0;  // engine seconds
};

// Usable, MayTry, not blocked, and: a node has no connection to the same
// address and port and no connected peer there with the same peer id; a
// server only while the data is incomplete; a tracker always.
bool IsEligible(TPeerId& candidate, const ICandidateFacts& facts);
// The same without consuming a pass.
bool WouldBeEligible(const TPeerId& candidate, const ICandidateFacts& facts);

}  // namespace zl
