// The task's side of its DHT peer search: the switches, the info hash, the
// DHT node sources ("node://") among its sources and the torrent's tracker
// list, and the engine's running DHT node.
#include <cstring>

#include "engine/core/api/dht_service.h"
#include "engine/core/api/engine_context.h"
#include "engine/core/driver/dht_step.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

bool TWorkWithPeers::ViewDht(TaskDhtView* out) {
    TTorrent* torrent = Torrent();
    if (!out || !torrent || !IsMetainfoReady()) return false;
    out->dht_switch = Context().Switches().dht.load() && Settings().use_dht;
    out->uses_peer_sources = (Identity().p2sp || Identity().bt) && PieceMap() != nullptr;
    std::memcpy(out->info_hash.data(), torrent->InfoHash().data(), out->info_hash.size());
    std::string host;
    uint16_t port = 0;
    for (const std::string& text : candidates_)
        if (ParseDhtNodeSource(text, &host, &port)) out->dht_node_sources.push_back(text);
    for (const std::string& text : torrent->Trackers())
        if (ParseDhtNodeSource(text, &host, &port)) out->dht_node_sources.push_back(text);
    out->listen_port = static_cast<uint16_t>(Context().Switches().EffectiveListenPort());
    out->dht_node = out->dht_switch ? Context().Dht().Running() : nullptr;
    return true;
}

void TWorkWithPeers::DhtSearch() {
    if (driver_) driver_->DhtSearch();
}

}  // namespace zl
