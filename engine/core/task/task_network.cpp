// The task's side of the shared listener and LAN discovery: its service step
// takes the connections whose handshake names its torrent (and only those:
// another task's wait in the pending list for that task's own step) and
// hands them to the peer driver, shows the listening address, and passes the
// peers heard on the local network to the driver.
#include <cstring>

#include "engine/core/api/engine_context.h"
#include "engine/core/listener/shared_listener.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {
namespace {

constexpr uint64_t kServicePeriodMs = 400;
// While connections wait (to be accepted, or for their handshake) the step
// comes sooner: a peer that connects in is served within a few milliseconds,
// not up to twice the period later.
constexpr uint64_t kBusyServicePeriodMs = 10;

}  // namespace

void TWorkWithPeers::ServeNetwork() {
    const uint64_t tick = Context().GetClock().TickMs();
    if (last_service_ms_ != 0 && tick >= last_service_ms_ && tick - last_service_ms_ < kServicePeriodMs) {
        if (tick - last_service_ms_ < kBusyServicePeriodMs || !Context().Listener().HasWork()) return;
    }
    last_service_ms_ = tick;
    SharedListener::ServiceRequest request;
    request.task = this;
    InfoHashBytes hash{};
    const std::array<uint8_t, 68> handshake = ViewHandshake();
    if (handshake[0] == 19 && ViewAcceptsPeers()) {
        std::memcpy(hash.data(), handshake.data() + 28, hash.size());
        request.info_hash = &hash;
    }
    request.blocked = [this](uint32_t address) { return ViewAddressBlocked(address); };
    SharedListener::ServiceResult result = Context().Listener().ServiceIncoming(request);

    const bool p2p = ViewP2P();
    const PublishedEndpoint& published = result.published;
    if (published.address != listen_address_ || published.port != listen_port_ || !p2p) {
        listen_address_ = published.address;
        listen_port_ = published.port;
        live_.listen_address = ListenAddressText(published, p2p);
        if (driver_) driver_->NoteListener(published.address, published.port);
    }
    for (std::unique_ptr<TSocket>& socket : result.accepted)
        if (driver_) driver_->AcceptIncoming(std::move(socket));  // a refused one closes here
}

void TWorkWithPeers::ExchangeOnLan() {
    if (!driver_ || !MapReady()) return;
    const std::array<uint8_t, 68> handshake = ViewHandshake();
    if (handshake[0] != 19 || !ViewAcceptsPeers()) return;
    LanTaskFacts facts;
    facts.task = this;
    std::memcpy(facts.info_hash.data(), handshake.data() + 28, 20);
    std::memcpy(facts.peer_id.data(), handshake.data() + 48, 20);
    facts.registered_tasks = Context().Registry().Size();
    facts.now_s = ViewSeconds();
    for (const LanPeer& peer : Context().Listener().LanExchange(facts))
        driver_->AddLanPeer(peer.address, peer.port, peer.peer_id);
}

void TWorkWithPeers::ForgetNetwork() {
    Context().Listener().Forget(this);
    last_service_ms_ = 0;
    listen_address_ = 0;
    listen_port_ = -1;
}

}  // namespace zl
