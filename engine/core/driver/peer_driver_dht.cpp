// The peer driver's DHT step: peers found in the DHT join the candidates as
// BitTorrent nodes, as a tracker's would.
#include "engine/core/driver/peer_driver.h"
#include "engine/net/address.h"
#include "engine/net/tracker_answer.h"

namespace zl {

void TaskPeerDriver::DhtSearch() {
    if (IsComplete() && !P2PEnabled()) {
        // Nothing to find and nobody to serve.
        if (dht_) dht_->Stop();
        return;
    }
    TaskDhtView view;
    if (!task_.ViewDht(&view)) return;
    size_t nodes = 0;
    candidates_.list().ForEach([&](const TPeerId& c) { nodes += c.IsNode() ? 1 : 0; });
    view.peer_count = static_cast<int32_t>(nodes);
    if (!dht_) {
        TaskDhtStep::Hooks hooks;
        hooks.view = [this](TaskDhtView* out) {
            *out = dht_view_;
            return true;
        };
        hooks.dht = [this] { return dht_view_.node; };
        hooks.resolve = [this](const std::string& host) {
            const uint32_t address = resolver_.ResolveHost(host);
            return IsValidAddress(address) ? address : 0u;
        };
        hooks.add_peer = [this](uint32_t address, uint16_t port) {
            auto node = RefPtr<TPeerId>::Adopt(new TPeerId(NodeSourceText(address, port)));
            node->kind = kKindNode;
            node->address = address;
            node->port = port;
            node->parsed = true;
            node->max_connections = 1;
            node->order_key = kOrderKeyNodeMin;
            AddCandidate(node.get());
        };
        dht_ = std::make_unique<TaskDhtStep>(std::move(hooks));
    }
    dht_view_ = std::move(view);
    dht_->Step(EngineSeconds());
    dht_view_.node.reset();  // the task holds the node only for the step
}

}  // namespace zl
