#include "engine/core/peers/source_penalty.h"

#include <algorithm>

namespace zl {

TPeerId* PenaliseSource(CandidateList& candidates, const TPeerId& identity, const EndedPeer& peer, int32_t passes,
                        MarkedAddresses& marked, bool data_complete) {
    if (peer.has_peer && peer.incoming) return nullptr;
    TPeerId* c = candidates.FindMatch(identity);
    if (!c) return nullptr;
    if (c->IsServer() && c->open_connections > 1) {
        // Other connections to this server still work: only a short pause.
        if (c->retry_delay <= 0) AddRetryDelay(*c, 2);
        return c;
    }
    if (marked.erase(c->address) == 0) AddRetryDelay(*c, 3 * int64_t(std::max(c->attempts - 1, 0)));
    AddRetryDelay(*c, passes);
    if (c->attempts < INT32_MAX) ++c->attempts;

    if (!peer.has_peer || !c->IsNode() || (peer.handshake_done && !peer.stalled)) return c;
    if (passes < 0 || passes > 4095) passes = 1;
    const int64_t weight = std::max<int64_t>(c->attempts - 1, passes) * int64_t(candidates.size()) <= 400 ? 1 : 2;
    AddRetryDelay(*c, weight * passes + 5);
    if (data_complete) AddRetryDelay(*c, 20);
    if (c->retry_delay <= 0) c->retry_delay = 10;
    candidates.MoveToEnd(c);
    return c;
}

}  // namespace zl
