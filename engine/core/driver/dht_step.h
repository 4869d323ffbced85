// A task's DHT step, run from the task's 8-second housekeeping: a BitTorrent
// lookup for the task's info hash finds BitTorrent peers (taken from the
// lookup and handed to the task as candidates, "btnode://" sources, at the
// next step) and announces the task's listening port. Here a DHT node is a
// member of the DHT (KadNode, CKademlia) and a BitTorrent node is a peer of
// the swarm; the names say which. A lookup that finds the DHT's table still
// empty (the task's "node://" DHT node sources are pinged at its first step)
// is tried again at the next step, so a task that joins through a DHT node
// meets its first DHT peers two steps (16 s) after it started.
// A done lookup is run again after a while that grows with the BitTorrent
// peers the task already has: 30 s per peer up to 3 peers, 180 s below 8,
// 360 s from 8. The task's "node://host:port" sources (at most 6, the DHT's
// routers aside) are pinged to join the DHT. Used only by the task's worker
// thread.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/udp/kad_lookup.h"
#include "engine/udp/kademlia.h"

namespace zl {

// What the step reads from the task.
struct TaskDhtView {
    bool dht_switch = false;         // the engine's DHT switch
    bool uses_peer_sources = false;  // the task is in a state that takes BitTorrent peers
    std::array<uint8_t, 20> info_hash{};
    std::vector<std::string> dht_node_sources;  // the task's "node://" lines
    int32_t bt_peer_count = 0;                  // BitTorrent peers (btnode:// candidates) the task knows
    uint16_t listen_port = 0;                   // the engine's TCP listening port
    std::shared_ptr<CKademlia> dht_node;        // the engine's running DHT node, or null
};

class TaskDhtStep {
public:
    static constexpr size_t kMaxDhtNodeSources = 6;

    struct Hooks {
        std::function<bool(TaskDhtView*)> view;                // false: nothing to do yet
        std::function<std::shared_ptr<CKademlia>()> dht_node;  // the running DHT node, or null
        std::function<uint32_t(const std::string&)> resolve;   // a host's address (0: none)
        std::function<void(uint32_t, uint16_t)> add_bt_peer;   // a BitTorrent peer found
    };

    explicit TaskDhtStep(Hooks hooks);
    ~TaskDhtStep();
    TaskDhtStep(const TaskDhtStep&) = delete;
    TaskDhtStep& operator=(const TaskDhtStep&) = delete;

    void Step(uint64_t now);
    // The task stops: its lookup leaves the DHT.
    void Stop();

    const std::shared_ptr<CKadActionBitTorrent>& Lookup() const { return lookup_; }
    int32_t PeersHanded() const { return peers_handed_; }

private:
    void PingDhtNodeSources(CKademlia& dht_node, const std::vector<std::string>& sources);

    Hooks hooks_;
    std::shared_ptr<CKadActionBitTorrent> lookup_;
    std::weak_ptr<CKademlia> dht_node_;  // the DHT node the lookup was given to
    bool removed_since_done_ = false;
    int32_t peers_handed_ = 0;
};

// A DHT node source, "node://host[:port]" (any case, port 80 when absent):
// the host and port, or false.
bool ParseDhtNodeSource(const std::string& text, std::string* host, uint16_t* port);

}  // namespace zl
