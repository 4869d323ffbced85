#include "engine/core/api/dht_service.h"

#include "engine/base/engine_log.h"
#include "engine/core/api/engine_context.h"

namespace zl {

DhtService::DhtService(EngineContext& context) : context_(context) {}

DhtService::~DhtService() { Shutdown(); }

std::string DhtService::CachePath() const {
    const std::string& dir = context_.DataDirectory();
    if (dir.empty()) return {};
    return dir + (dir.back() == '/' ? "" : "/") + kKadCacheFileName;
}

void DhtService::SetRouters(std::vector<KadRouter> routers) {
    std::lock_guard guard(mutex_);
    routers_ = std::move(routers);
    if (dht_node_) dht_node_->SetRouters(routers_);
}

void DhtService::Start() {
    std::shared_ptr<CKademlia> dht_node;
    {
        std::lock_guard guard(mutex_);
        if (dht_node_ && clock_ != &context_.GetClock()) {
            // The engine moved to another clock while no task existed.
            dht_node_->Stop();
            dht_node_.reset();
        }
        if (!dht_node_) {
            clock_ = &context_.GetClock();
            dht_node_ = std::make_shared<CKademlia>(*clock_);
            dht_node_->SetSecondsSource([this] { return context_.ClockSeconds(); });
            dht_node_->SetResolver(&resolver_);
        }
        dht_node = dht_node_;
        dht_node->SetRouters(routers_);
    }
    if (dht_node->IsRunning()) return;
    dht_node->SetNodeCachePath(CachePath());
    UdpServer& server = context_.GetUdpServer();
    dht_node->SetSender(&server);
    server.SetDhtConsumer(dht_node.get());
    std::weak_ptr<CKademlia> weak = dht_node;
    server.SetDhtRunningProbe([weak] {
        const auto n = weak.lock();
        return n && n->Active();
    });
    dht_node->Start("Kademlia");
}

void DhtService::Pause() {
    std::shared_ptr<CKademlia> dht_node;
    {
        std::lock_guard guard(mutex_);
        dht_node = dht_node_;
    }
    if (dht_node) dht_node->Stop();
}

void DhtService::Shutdown() {
    std::shared_ptr<CKademlia> dht_node;
    {
        std::lock_guard guard(mutex_);
        dht_node.swap(dht_node_);
    }
    if (!dht_node) return;
    dht_node->Stop();
    UdpServer& server = context_.GetUdpServer();
    server.SetDhtConsumer(nullptr);
    server.SetDhtRunningProbe(nullptr);
    dht_node.reset();
    LogWrite("Kademlia Thread Stopped.. ", 22, 22);
}

std::shared_ptr<CKademlia> DhtService::Running() {
    std::lock_guard guard(mutex_);
    return dht_node_ && dht_node_->Active() ? dht_node_ : nullptr;
}

}  // namespace zl
