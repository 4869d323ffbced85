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
    if (node_) node_->SetRouters(routers_);
}

void DhtService::Start() {
    std::shared_ptr<CKademlia> node;
    {
        std::lock_guard guard(mutex_);
        if (node_ && clock_ != &context_.GetClock()) {
            // The engine moved to another clock while no task existed.
            node_->Stop();
            node_.reset();
        }
        if (!node_) {
            clock_ = &context_.GetClock();
            node_ = std::make_shared<CKademlia>(*clock_);
            node_->SetSecondsSource([this] { return context_.ClockSeconds(); });
            node_->SetResolver(&resolver_);
        }
        node = node_;
        node->SetRouters(routers_);
    }
    if (node->IsRunning()) return;
    node->SetNodeCachePath(CachePath());
    UdpServer& server = context_.GetUdpServer();
    node->SetSender(&server);
    server.SetDhtConsumer(node.get());
    std::weak_ptr<CKademlia> weak = node;
    server.SetDhtRunningProbe([weak] {
        const auto n = weak.lock();
        return n && n->Active();
    });
    node->Start("Kademlia");
}

void DhtService::Pause() {
    std::shared_ptr<CKademlia> node;
    {
        std::lock_guard guard(mutex_);
        node = node_;
    }
    if (node) node->Stop();
}

void DhtService::Shutdown() {
    std::shared_ptr<CKademlia> node;
    {
        std::lock_guard guard(mutex_);
        node.swap(node_);
    }
    if (!node) return;
    node->Stop();
    UdpServer& server = context_.GetUdpServer();
    server.SetDhtConsumer(nullptr);
    server.SetDhtRunningProbe(nullptr);
    node.reset();
    LogWrite("Kademlia Thread Stopped.. ", 22, 22);
}

std::shared_ptr<CKademlia> DhtService::Running() {
    std::lock_guard guard(mutex_);
    return node_ && node_->Active() ? node_ : nullptr;
}

}  // namespace zl
