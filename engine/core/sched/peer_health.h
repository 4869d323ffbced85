// Per-peer figures of the 4-second rate snapshot and the peer statistics that
// follow it (rates from accumulators, the stall check that chokes and then
// drops a silent peer, the unchoke decision), and the server watchdog that
// refreshes the sources when the servers have been slow for too long. Used
// by the task's peer driver; the peer state lives in the peer objects, these
// functions only decide.
#pragma once
#include <cstdint>

namespace zl {

// A rate snapshot runs when more than 3 s of engine clock have passed.
bool RateSnapshotDue(uint64_t now_seconds, uint64_t last_snapshot_seconds);

// Bytes per second from a snapshot accumulator. The accumulators cover 4 s
// or more; the divisor is 3, which the rest of the engine is tuned to.
int64_t RateFromAccumulator(int64_t accumulated_bytes);

// The stall check runs on every fourth peer-statistics step.
bool StallCheckDue(uint64_t statistics_counter_after_increment);

struct PeerStallState {
    int32_t counter = 0;        // consecutive checks without traffic
    uint64_t last_sent = 0;     // socket byte totals seen at the last check
    uint64_t last_received = 0;
};

struct StallVerdict {
    bool disconnect = false;  // five checks in a row without a byte
    bool choke = false;       // more than three (for handshaken BitTorrent peers)
};

// Compares the socket totals with those of the last check and stores them.
// Traffic in either direction starts the count again.
StallVerdict CheckPeerStall(PeerStallState& state, uint64_t sent_total, uint64_t received_total);

// A peer we choke that was not choked in this period and sits at or before
// the unchoke limit in the active list is unchoked again.
bool ShouldUnchoke(bool we_choke, bool choked_this_period, int64_t position, int64_t unchoke_limit);

// Counts seconds in which the servers together deliver less than 1 KiB/s.
// After more than 15 such seconds in a row it asks for a source refresh (the
// recent sources connected at once, and the candidates re-resolved when fewer
// server connections than the limit are open) and starts counting again.
class ServerWatchdog {
public:
    // Once a second with the summed download rate of the server peers; true
    // when the sources should be refreshed now.
    bool OnSecond(int64_t server_rate);
    int32_t SlowSeconds() const { return slow_seconds_; }
    void Reset() { slow_seconds_ = 0; }

private:
    int32_t slow_seconds_ = 0;
};

}  // namespace zl
