#include "engine/core/peers/peer_connector.h"

#include <algorithm>
#include <vector>

namespace zl {

int32_t ConnectLimit(const TPeerId& c, int32_t connections_per_server) {
    if (c.IsServer() && !c.metainfo_source) return std::max(c.max_connections, std::max(connections_per_server, 1));
    return c.max_connections;
}

int32_t ConnectTo(TPeerId& c, int32_t opened, int32_t budget, int32_t connections_per_server, uint64_t now,
                  IPeerDialer& dialer, PeerSerials& serials) {
    const int32_t limit = ConnectLimit(c, connections_per_server);
    int32_t made = 0;
    while (c.open_connections < limit && opened + made < budget) {
        ++c.open_connections;
        ++c.connection_count;
        if (!dialer.Dial(c, serials.Next())) {
            // The peer never took the identity, so its teardown will not count it down.
            --c.open_connections;
            break;
        }
        c.last_connect_time = now;
        ++made;
        const TSourceAddress* s = c.SourceIfAny();
        if (!c.IsServer() || !s || s->content_length <= 0) break;
    }
    return made;
}

int32_t RunServerConnector(CandidateList& candidates, const ServerConnectorInput& in, const ICandidateFacts& facts,
                           IPeerDialer& dialer, PeerSerials& serials) {
    if (in.open_servers >= in.server_limit) return 0;
    const int32_t budget = in.server_limit - in.open_servers;
    int32_t opened = 0;
    // The walk must not see the list reorder under it.
    std::vector<RefPtr<TPeerId>> walk;
    candidates.ForEach([&](TPeerId& c) { walk.push_back(RefPtr<TPeerId>::Share(&c)); });
    for (const RefPtr<TPeerId>& c : walk) {
        if (opened >= budget) break;
        if (!c->IsServer() || !IsEligible(*c, facts)) continue;
        const int32_t made = ConnectTo(*c, opened, budget, in.connections_per_server, facts.Now(), dialer, serials);
        if (made == 0) ++c->attempts;
        opened += made;
    }
    candidates.Sort();
    return opened;
}

bool IdleServerSeconds::NoteSecond(int32_t opened) {
    if (opened > 0) {
        seconds_ = 0;
        return false;
    }
    if (++seconds_ <= 9) return false;
    seconds_ = 0;
    return true;
}

int32_t NodeDialRoom(int32_t connecting, int32_t half_open_limit, int32_t connection_budget) {
    const int64_t cap = std::min<int64_t>(2 * int64_t(half_open_limit), connection_budget);
    return int32_t(std::clamp<int64_t>(cap - 1 - int64_t(connecting), 0, INT32_MAX));
}

bool NeedsRoomForNode(int32_t order_key, int32_t connecting, int32_t half_open_limit, int32_t connection_budget) {
    return order_key >= kPreferredOrderKey && NodeDialRoom(connecting, half_open_limit, connection_budget) == 0;
}

int32_t RunNodeConnector(CandidateList& candidates, const NodeConnectorInput& in, const ICandidateFacts& facts,
                         IPeerDialer& dialer, PeerSerials& serials) {
    if (in.open_nodes >= in.peer_limit || !dialer.P2PEnabled()) return 0;
    const int32_t budget = std::min(in.peer_limit - in.open_nodes,
                                    NodeDialRoom(in.connecting, in.half_open_limit, in.connection_budget));
    int32_t opened = 0;
    std::vector<RefPtr<TPeerId>> walk;
    candidates.ForEach([&](TPeerId& c) { walk.push_back(RefPtr<TPeerId>::Share(&c)); });
    for (const RefPtr<TPeerId>& c : walk) {
        if (opened >= budget || !dialer.P2PEnabled()) break;
        if (c->IsServer() || c->metainfo_source || c->exhausted || !IsEligible(*c, facts)) continue;
        const int32_t made = ConnectTo(*c, opened, budget, 1, facts.Now(), dialer, serials);
        if (made == 0) ++c->attempts;
        opened += made;
    }
    return opened;
}

}  // namespace zl
