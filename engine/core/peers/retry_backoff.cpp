#include "engine/core/peers/retry_backoff.h"

namespace zl {
namespace {

bool ContentLengthKnown(const TPeerId& c) {
    const TSourceAddress* s = c.SourceIfAny();
    return s && s->content_length > 0;
}

// Shared by MayTry and WouldTry; `delay` is the retry delay to work on.
bool Decide(const TPeerId& c, int32_t& delay, int64_t current_speed, uint64_t now) {
    if (!c.parsed) return false;
    if ((c.IsNode() || c.kind == kKindTracker) && c.open_connections > 0) return false;
    if (c.IsServer()) {
        if (c.open_connections >= c.max_connections) return false;
        if (c.open_connections == 1 && !ContentLengthKnown(c)) return false;
        if (c.open_connections == 0) {
            // A server that has delivered pieces comes back sooner.
            if (c.finished_pieces > 15) {
                delay = 0;
                return true;
            }
            if (c.finished_pieces > 5)
                delay = delay < 10 ? 0 : delay / 10;
            else if (c.finished_pieces > 0)
                delay = delay < 5 ? 0 : delay / 5;
            // Nothing is arriving: any server is worth a try.
            if (current_speed == 0) delay = delay <= 10 ? 0 : delay / 10;
        }
    }
    if (c.kind == kKindTracker && c.last_connect_time != 0 && now >= c.last_connect_time &&
        now - c.last_connect_time < kTrackerRetrySeconds)
        return false;
    if (delay > 0) --delay;
    return delay <= 0;
}

bool KindAllows(const TPeerId& c, const ICandidateFacts& facts) {
    if (!c.IsUsable() || facts.IsBlocked(c.address)) return false;
    if (c.IsNode())
        return !facts.HasConnectionTo(c.address, c.port) && !facts.HasConnectedPeer(c.address, c.peer_id);
    if (c.IsServer()) return !facts.DataComplete();
    return c.kind == kKindTracker;
}

}  // namespace

bool MayTry(TPeerId& candidate, int64_t current_speed, uint64_t now) {
    return Decide(candidate, candidate.retry_delay, current_speed, now);
}

bool WouldTry(const TPeerId& candidate, int64_t current_speed, uint64_t now) {
    int32_t delay = candidate.retry_delay;
    return Decide(candidate, delay, current_speed, now);
}

bool IsEligible(TPeerId& candidate, const ICandidateFacts& facts) {
    if (!candidate.IsUsable()) return false;
    if (!MayTry(candidate, facts.CurrentSpeed(), facts.Now())) return false;
    return KindAllows(candidate, facts);
}

bool WouldBeEligible(const TPeerId& candidate, const ICandidateFacts& facts) {
    return candidate.IsUsable() && WouldTry(candidate, facts.CurrentSpeed(), facts.Now()) && KindAllows(candidate, facts);
}

}  // namespace zl
