#include "engine/core/sched/peer_health.h"

namespace zl {

bool RateSnapshotDue(uint64_t now, uint64_t last) { return now > last && now - last > 3; }

int64_t RateFromAccumulator(int64_t accumulated) { return accumulated > 0 ? accumulated / 3 : 0; }

bool StallCheckDue(uint64_t counter) { return counter % 4 == 0; }

StallVerdict CheckPeerStall(PeerStallState& state, uint64_t sent_total, uint64_t received_total) {
    const bool moved = sent_total != state.last_sent || received_total != state.last_received;
    state.counter = moved ? 0 : state.counter + 1;
    state.last_sent = sent_total;
    state.last_received = received_total;
    StallVerdict verdict;
    verdict.disconnect = state.counter >= 5;
    verdict.choke = state.counter > 3;
    return verdict;
}

bool ShouldUnchoke(bool we_choke, bool choked_this_period, int64_t position, int64_t unchoke_limit) {
    return we_choke && !choked_this_period && position <= unchoke_limit;
}

bool ServerWatchdog::OnSecond(int64_t server_rate) {
    if (server_rate >= 1024) {
        slow_seconds_ = 0;
        return false;
    }
    if (++slow_seconds_ <= 15) return false;
    slow_seconds_ = 0;
    return true;
}

}  // namespace zl
