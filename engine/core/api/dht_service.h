// The engine's DHT node and its thread "Kademlia". The process switch
// (EngineSetDhtSwitch) is off by default; when it is on as the first task
// is set up, the node gets its cache file in the engine's data folder, takes
// the UDP server's KRPC datagrams and sends through it, and its thread
// starts. The thread pauses (saving its cache) when the last task goes and
// stops for good at engine clean-up.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/net/resolver.h"
#include "engine/udp/kademlia.h"

namespace zl {

class Clock;
class EngineContext;

class DhtService {
public:
    explicit DhtService(EngineContext& context);
    ~DhtService();
    DhtService(const DhtService&) = delete;
    DhtService& operator=(const DhtService&) = delete;

    // Starts the thread (creating the DHT node on first use).
    void Start();
    // Stops the thread; the DHT node and its id stay for the next start.
    void Pause();
    // Stops the thread and deletes the DHT node.
    void Shutdown();
    // The DHT node while its thread runs, else null. Tasks hold it only for a step.
    std::shared_ptr<CKademlia> Running();
    // Routers pinged while the table is small (default: DefaultKadRouters()).
    void SetRouters(std::vector<KadRouter> routers);
    std::string CachePath() const;

private:
    EngineContext& context_;
    mutable std::mutex mutex_;
    std::shared_ptr<CKademlia> dht_node_;
    Clock* clock_ = nullptr;  // the clock the DHT node was made with
    std::vector<KadRouter> routers_ = DefaultKadRouters();
    TResolver resolver_;  // router names, looked up on the DHT thread
};

}  // namespace zl
