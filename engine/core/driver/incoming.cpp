// The peer driver's side of the shared listener and LAN discovery: the
// connections the task's network step (task_network.cpp) accepted become
// peers, and the peers heard on the local network become candidates of the
// highest order key.
#include <cstring>

#include "engine/core/api/engine_context.h"
#include "engine/core/listener/incoming_sniff.h"
#include "engine/core/peers/peer_connector.h"
#include "engine/core/driver/peer_driver.h"

namespace zl {

bool TaskPeerDriver::AcceptIncoming(std::unique_ptr<TSocket> socket) {
    if (!socket || !P2PEnabled() || !AcceptsPeers()) return false;
    if (Handshake()[0] != 19) return false;
    const int32_t limit = task_.ViewConnectionBudget();
    // An accepted connection still waiting for its handshake holds a place
    // as a connected peer does: a remote that opens connection after
    // connection and never finishes a handshake cannot grow the active list
    // (and our open descriptors) without bound.
    int32_t claimed = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        if (peer.kind() != kKindNode) continue;
        const PeerStatistics* stats = peer.Info(0);
        if (peer.HandshakeDone() || (stats && stats->incoming)) ++claimed;
    }
    if (static_cast<int32_t>(active_.size()) >= limit + 4 && claimed >= limit) return false;
    const IncomingSniff sniff = SniffIncoming(socket->received(), static_cast<size_t>(socket->received_length()));
    if (sniff.peer_id) {
        // Ourselves, or a peer already connected from that address.
        if (std::memcmp(sniff.peer_id, handshake_.data() + 48, 20) == 0) return false;
        PeerIdBytes id;
        std::memcpy(id.data(), sniff.peer_id, id.size());
        for (size_t i = 0; i < active_.size(); ++i) {
            TBTPeer* node = AsNode(*active_[i].peer);
            if (node && node->HandshakeDone() && node->socket() &&
                node->socket()->remote_address() == socket->remote_address() && node->remote_peer_id() == id)
                return false;
        }
    }
    RefPtr<TPeerObject> peer = CreatePeer(kKindNode);
    if (!peer) return false;
    if (!peer->AttachSocket(std::move(socket)) || !peer->Start()) {
        ReturnPeer(peer);
        return false;
    }
    active_.Add(peer, serials_.Next());
    return true;
}

void TaskPeerDriver::NoteListener(uint32_t address, int32_t port) {
    candidates_.rules().listener_address = address != 0 ? address : kNoAddress;
    candidates_.rules().listener_port = port;
}

void TaskPeerDriver::AddLanPeer(uint32_t address, uint16_t port, const std::array<uint8_t, 20>& peer_id) {
    Handshake();
    const AdmissionRules& rules = candidates_.rules();
    // Never ourselves: not this engine's address, its listener, or its peer id.
    if (address == LoopbackAddress() || !IsValidAddress(address) || !IsValidPort(port)) return;
    if (address == rules.listener_address && port == rules.listener_port) return;
    if (rules.refuse_own_peer_id && peer_id == rules.own_peer_id) return;
    bool added = false;
    TPeerId* c = candidates_.list().FindOrAddNode(address, port, kKindNode, true, kOrderKeyLan, &added);
    if (!c) return;
    c->peer_id = peer_id;
    // Only a new peer makes room: one heard again (every engine announces
    // twice, then replies) would otherwise push two more peers out each time.
    if (added &&
        NeedsRoomForNode(c->order_key, ConnectingNodes(), task_.ViewHalfOpenLimit(), task_.ViewConnectionBudget()))
        DropNodes(2);
    last_connector_pass_ = 0;  // dialled at the next pass
}

}  // namespace zl
