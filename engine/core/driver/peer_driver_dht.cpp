// The peer driver's DHT step: BitTorrent peers found through the DHT node
// join the candidates as BitTorrent nodes ("btnode://"), as a tracker's would.
#include "engine/core/driver/peer_driver.h"
#include "engine/net/address.h"
#include "engine/net/tracker_answer.h"

namespace zl {

void TaskPeerDriver::DhtSearch() {
    if (IsComplete() && !P2PEnabled()) {
        // Nothing to find and nobody to serve.
        if (dht_step_) dht_step_->Stop();
        return;
    }
    TaskDhtView view;
    if (!task_.ViewDht(&view)) return;
    size_t bt_nodes = 0;
    candidates_.list().ForEach([&](const TPeerId& c) { bt_nodes += c.IsNode() ? 1 : 0; });
    view.bt_peer_count = static_cast<int32_t>(bt_nodes);
    if (!dht_step_) {
        TaskDhtStep::Hooks hooks;
        hooks.view = [this](TaskDhtView* out) {
            *out = dht_view_;
            return true;
        };
        hooks.dht_node = [this] { return dht_view_.dht_node; };
        hooks.resolve = [this](const std::string& host) {
            const uint32_t address = resolver_.ResolveHost(host);
            return IsValidAddress(address) ? address : 0u;
        };
        hooks.add_bt_peer = [this](uint32_t address, uint16_t port) {
            auto bt_node = RefPtr<TPeerId>::Adopt(new TPeerId(BtNodeSourceText(address, port)));
            bt_node->kind = kKindNode;
            bt_node->address = address;
            bt_node->port = port;
            bt_node->parsed = true;
            bt_node->max_connections = 1;
            bt_node->order_key = kOrderKeyNodeMin;
            AddCandidate(bt_node.get());
        };
        dht_step_ = std::make_unique<TaskDhtStep>(std::move(hooks));
    }
    dht_view_ = std::move(view);
    dht_step_->Step(EngineSeconds());
    dht_view_.dht_node.reset();  // the task holds the DHT node only for the step
}

}  // namespace zl
