#include "engine/core/driver/dht_step.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "engine/net/address.h"
#include "engine/udp/kad_node.h"

namespace zl {

bool ParseDhtNodeSource(const std::string& text, std::string* host, uint16_t* port) {
    static constexpr char kPrefix[] = "node://";
    constexpr size_t n = sizeof kPrefix - 1;
    if (text.size() <= n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != kPrefix[i]) return false;
    std::string rest = text.substr(n);
    while (!rest.empty() && (rest.back() == '/' || std::isspace(static_cast<unsigned char>(rest.back()))))
        rest.pop_back();
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
        rest += ":80";
        colon = rest.size() - 3;
    }
    if (colon == 0 || colon + 1 >= rest.size() || colon + 6 < rest.size()) return false;
    int value = 0;
    for (size_t i = colon + 1; i < rest.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
        value = value * 10 + (rest[i] - '0');
    }
    if (value < 1 || value > 65535) return false;
    *host = rest.substr(0, colon);
    *port = static_cast<uint16_t>(value);
    return true;
}

TaskDhtStep::TaskDhtStep(Hooks hooks) : hooks_(std::move(hooks)) {}

TaskDhtStep::~TaskDhtStep() { Stop(); }

void TaskDhtStep::Stop() {
    if (!lookup_) return;
    if (auto dht_node = dht_node_.lock()) dht_node->RemoveAndDispose(lookup_.get());
    lookup_.reset();
}

void TaskDhtStep::PingDhtNodeSources(CKademlia& dht_node, const std::vector<std::string>& sources) {
    const std::vector<KadRouter> routers = dht_node.Routers();
    size_t pinged = 0;
    for (const std::string& text : sources) {
        if (pinged >= kMaxDhtNodeSources) break;
        std::string host;
        uint16_t port = 0;
        if (!ParseDhtNodeSource(text, &host, &port)) continue;
        const bool router = std::any_of(routers.begin(), routers.end(),
                                        [&](const KadRouter& r) { return r.host == host && r.port == port; });
        if (router) continue;
        const uint32_t address = hooks_.resolve ? hooks_.resolve(host) : 0;
        if (address == 0 || address == 0xFFFFFFFFu) continue;
        dht_node.PingAddress(address, port);
        ++pinged;
    }
}

void TaskDhtStep::Step(uint64_t now) {
    TaskDhtView view;
    if (!hooks_.view || !hooks_.view(&view)) return;
    if (!view.dht_switch || !view.uses_peer_sources) return;
    const KadId info_hash = KadId::FromBytes(view.info_hash.data());
    if (info_hash.IsZero()) return;
    const std::shared_ptr<CKademlia> dht_node = hooks_.dht_node ? hooks_.dht_node() : nullptr;
    if (!dht_node) return;

    if (!lookup_ || lookup_->Target() != info_hash || dht_node_.lock() != dht_node) {
        Stop();
        lookup_ = std::make_shared<CKadActionBitTorrent>(info_hash);
        dht_node_ = dht_node;
        removed_since_done_ = false;
        PingDhtNodeSources(*dht_node, view.dht_node_sources);
    }
    lookup_->SetAnnouncedPort(view.listen_port);

    const bool running = lookup_->IsRunning();
    const bool done = lookup_->IsDone();
    if (running || done) {
        std::string peers;
        lookup_->TakeResults(peers, true);
        if (done && !removed_since_done_) {
            // It stays the task's, to be run again later.
            dht_node->RemoveLookup(lookup_.get());
            removed_since_done_ = true;
        }
        const auto* p = reinterpret_cast<const uint8_t*>(peers.data());
        for (size_t at = 0; at + kCompactPeerSize <= peers.size(); at += kCompactPeerSize) {
            uint32_t address = 0;
            uint16_t port = 0;
            ReadCompactPeer(p + at, &address, &port);
            // Values come from any node: 0, the broadcast address and port 0 are no peers.
            if (!IsValidAddress(address) || !IsValidPort(port)) continue;
            if (hooks_.add_bt_peer) hooks_.add_bt_peer(address, port);
            ++peers_handed_;
        }
        if (running) return;
        const int32_t peers_known = view.bt_peer_count;
        const uint64_t wait = peers_known > 3 ? (peers_known < 8 ? 180 : 360) : 30 * uint64_t(std::max(peers_known, 1));
        // The DHT thread may have ended the lookup after `now` was read: no time has passed then.
        const uint64_t done_at = lookup_->DoneTime();
        if (now < done_at || now - done_at < wait) return;
    }
    if (!lookup_->NotStarted()) lookup_->Reset();
    removed_since_done_ = false;
    dht_node->AddLookup(lookup_);
}

}  // namespace zl
