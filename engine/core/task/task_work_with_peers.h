// The peer layer of a task: its server list, connection limits and candidate
// sources. Connecting, serving and pruning peers are added by the peer
// management layer; until then the hooks below keep their places in the loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/task/task_base_work.h"

namespace zl {

class TWorkWithPeers : public TBaseWork {
public:
    explicit TWorkWithPeers(EngineContext& context);

    // Maximum simultaneous HTTP/FTP source connections and BitTorrent peer connections.
    virtual int32_t SetConnectionLimits(int32_t servers, int32_t peers);
    // Empties the server URL and host-name lists and turns server mode off.
    void ClearServers();
    // Appends the lines of both texts; turns server mode on.
    void AddServers(const char* urls, const char* hosts);
    // Appends CR LF separated sources to the pending sources.
    virtual void AddSourcesText(const std::string& text);

    int32_t MaxServerConnections() const { return max_server_connections_; }
    int32_t MaxPeerConnections() const { return max_peer_connections_; }
    bool ServerMode() const { return server_mode_; }
    const std::vector<std::string>& ServerUrls() const { return server_urls_; }
    const std::vector<std::string>& ServerHosts() const { return server_hosts_; }
    size_t CandidateCount() const { return candidates_.size(); }

    // --- hooks of the peer management layer -----------------------------
    // Turns sources (and pending sources) into candidates and re-resolves
    // them; runs every 15 s. The thin form lists every non-empty source.
    virtual void RefreshSources();
    // One pass over the connected peers: receive, send, connect candidates.
    virtual void PeerPass() {}
    // Changes asked for through the interface, applied by the worker.
    virtual void ApplyPendingChanges() {}
    // The 4-second pass: per-peer rate snapshot, pruning, candidate clean-up.
    virtual void FourSecondPass() {}
    // The loop's pause between two steps: at most `ms` milliseconds, shorter
    // when a connection has something to do.
    virtual void WaitBetweenSteps(uint32_t ms) { GetClock().SleepMs(ms); }
    virtual void Deactivate() {}

    void Reset(ResetScope scope) override;

protected:
    std::vector<std::string> candidates_;
    std::vector<std::string> pending_sources_;

private:
    std::vector<std::string> server_urls_;
    std::vector<std::string> server_hosts_;
    bool server_mode_ = false;
    // Set by the interface, reset by the worker.
    std::atomic<int32_t> max_server_connections_{49};
    std::atomic<int32_t> max_peer_connections_{0};
};

}  // namespace zl
