// Which candidates a task dials in a connector pass, within its limits: the
// server connector (HTTP and FTP sources, the server connection limit) and
// the BitTorrent connector (nodes and trackers, the peer connection limit and
// the half-open limit). Run by the peer layer of a task (TWorkWithPeers) once
// per engine-clock second; the layer supplies the dialling itself.
#pragma once
#include <cstdint>

#include "engine/core/peers/candidate_list.h"
#include "engine/core/peers/peer_pool.h"
#include "engine/core/peers/retry_backoff.h"

namespace zl {

// The peer connection limit until the application sets one.
inline constexpr int32_t kDefaultPeerConnectionLimit = 50;
// The server connection limit after every Reset.
inline constexpr int32_t kDefaultServerConnectionLimit = 49;
// Candidates at or above this order key (found on the local network) may push
// slower peers out when no connection can be started.
inline constexpr int32_t kPreferredOrderKey = 35;

// Makes one connection: CreatePeer(kind), attach the candidate and, when that
// succeeds, put the peer with `serial` on the active list. False when
// attaching failed (the peer went back to the pool).
class IPeerDialer {
public:
    virtual ~IPeerDialer() = default;
    virtual bool Dial(TPeerId& candidate, uint64_t serial) = 0;
    // The P2P switch; the BitTorrent connector stops as soon as it goes off.
    virtual bool P2PEnabled() const { return true; }
};

// Simultaneous connections one candidate may have: a server that is not the
// metainfo source gets at least the per-server setting.
int32_t ConnectLimit(const TPeerId& candidate, int32_t connections_per_server);

// Opens connections to one candidate while below its limit: one, or several
// for a server whose content length is known. Never brings `opened` (the
// connections opened so far in this pass) above `budget`. Returns how many
// this call opened.
int32_t ConnectTo(TPeerId& candidate, int32_t opened, int32_t budget, int32_t connections_per_server,
                  uint64_t now, IPeerDialer& dialer, PeerSerials& serials);

struct ServerConnectorInput {
    int32_t open_servers = 0;
    int32_t server_limit = kDefaultServerConnectionLimit;
    int32_t connections_per_server = 1;
};
// Dials eligible servers from the front of the list until the budget (limit
// minus open) is used; a server that opens nothing gets one more attempt.
// Sorts the list afterwards. Returns the connections opened.
int32_t RunServerConnector(CandidateList& candidates, const ServerConnectorInput& input, const ICandidateFacts& facts,
                           IPeerDialer& dialer, PeerSerials& serials);

// Seconds in which the server connector opened nothing; after ten of them the
// task refreshes its sources, re-resolves the candidates and adds random
// server-list sources.
class IdleServerSeconds {
public:
    // True when that refresh is due (the count then starts again).
    bool NoteSecond(int32_t opened);
    int32_t seconds() const { return seconds_; }
    void Reset() { seconds_ = 0; }

private:
    int32_t seconds_ = 0;
};

// BitTorrent connections that may still be started: min(2 x half-open limit,
// connection budget) minus the new one minus those still being established.
int32_t NodeDialRoom(int32_t connecting, int32_t half_open_limit, int32_t connection_budget);
// A new node with a preferred order key makes room when nothing may be started:
// the layer then drops up to 2 BitTorrent peers from the end of the active list.
bool NeedsRoomForNode(int32_t order_key, int32_t connecting, int32_t half_open_limit, int32_t connection_budget);

struct NodeConnectorInput {
    int32_t open_nodes = 0;
    int32_t peer_limit = kDefaultPeerConnectionLimit;
    int32_t connecting = 0;  // connections still being established
    int32_t half_open_limit = 32;
    int32_t connection_budget = 52;
};
// Dials eligible nodes and trackers (never servers, metainfo sources or
// exhausted sources) until the budget is used or the P2P switch goes off.
int32_t RunNodeConnector(CandidateList& candidates, const NodeConnectorInput& input, const ICandidateFacts& facts,
                         IPeerDialer& dialer, PeerSerials& serials);

}  // namespace zl
