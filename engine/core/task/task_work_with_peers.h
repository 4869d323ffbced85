// The peer layer of a task, the last below the worker loop: its sources and
// server list, its connection limits, and the run's peer driver
// (TaskPeerDriver, peer_driver.h), which it owns and serves as the
// TaskPieceView. A received block goes down from here: the driver hands it
// to ReceiveBlock, which is the piece map's ReceiveBlock. The peers count
// into the statistics layer beneath, and the shared listener and LAN
// discovery reach the driver through this layer's network step.
#pragma once
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/peers/peer_identity.h"
#include "engine/core/task/task_piece_view.h"
#include "engine/core/task/task_work_with_trans_statis.h"

namespace zl {

// A task's peer figures as the interface shows them (published each second).
struct TaskPeerFigures {
    int32_t peers = 0;
    int32_t seeds = 0;
    int32_t upload_speed = 0;
    uint64_t uploaded = 0;
    uint64_t http_bytes = 0;
    uint64_t ftp_bytes = 0;
    uint64_t bt_bytes = 0;
    uint64_t twice_bytes = 0;
    int32_t sources = 0;
    int32_t failing = 0;
    std::string failing_text;
};

class TWorkWithPeers : public TWorkWithTransStatis, private TaskPieceView {
public:
    explicit TWorkWithPeers(EngineContext& context);
    ~TWorkWithPeers() override;

    // --- the sources and limits the interface sets --------------------------
    // Maximum simultaneous HTTP/FTP source connections and BitTorrent peer connections.
    int32_t SetConnectionLimits(int32_t servers, int32_t peers);
    // Empties the server URL and host-name lists and turns server mode off.
    void ClearServers();
    // Appends the lines of both texts; turns server mode on.
    void AddServers(const char* urls, const char* hosts);
    // Appends CR LF separated sources to the pending sources.
    void AddSourcesText(const std::string& text);

    int32_t MaxServerConnections() const { return max_server_connections_; }
    int32_t MaxPeerConnections() const { return max_peer_connections_; }
    bool ServerMode() const { return server_mode_; }
    const std::vector<std::string>& ServerUrls() const { return server_urls_; }
    const std::vector<std::string>& ServerHosts() const { return server_hosts_; }
    size_t CandidateCount() const { return candidates_.size(); }
    // The latest published peer figures (any thread).
    TaskPeerFigures PeerFigures();

    // --- the run's peers (worker thread) ----------------------------------------
    // Every 15 s: the sources (and pending sources) become candidates, and the
    // server sources among them join the driver's server balancing.
    void RefreshSources();
    // Dials candidates and drives the peers' download passes; the piece map
    // is flushed as soon as the last wanted piece arrived.
    virtual void PeerPass();
    // Every 4 s: the peers' rate snapshot and candidate clean-up.
    void FourSecondPass();
    // Every 8 s: the peers' DHT lookup (task_dht_view.cpp).
    void DhtSearch();
    // Every 10 s: LAN announcements, replies and the peers heard (task_network.cpp).
    void ExchangeOnLan();
    // The loop's pause between two steps: at most `ms` milliseconds. While
    // data is wanted and may be read it ends as soon as a peer's connection is
    // ready, so a fast source is read as fast as it sends.
    void WaitBetweenSteps(uint32_t ms);
    // The statistics of the second, then the peer figures, the seconds
    // without data and the scheduling state's second.
    void StatisticsPass(uint64_t now) override;
    // After each peer pass: the completed pieces' have batch, when due.
    void AnnounceHaves();
    // Takes the connections per server set through the interface (under the task lock).
    void ApplyPendingChanges() override;
    // The run's peers; null before the first peer pass of a run.
    TaskPeers* Peers() { return driver_.get(); }

    void Reset(ResetScope scope) override;

protected:
    // The verdict on a piece hashed on a worker reaches the peer that completed it.
    void OnPieceChecked(int32_t piece, bool ok) override;
    int64_t ActivePeerCount() override { return driver_ ? static_cast<int64_t>(driver_->ActiveCount()) : 0; }

    std::vector<std::string> candidates_;
    std::vector<std::string> pending_sources_;

private:
    // The run's driver, made at its first use (the statistics start then).
    TaskPeers& Driver();
    // Every 400 ms from the peer pass: the shared listener's service step
    // (this task's incoming connections become peers) and the published
    // listening address (task_network.cpp).
    void ServeNetwork();
    // The run ended: the listener forgets this task.
    void ForgetNetwork();

    // --- TaskPieceView: the task as its peers see it (task_peer_views.cpp) ---
    Clock& ViewClock() override;
    uint64_t ViewSeconds() override;
    int32_t ViewMaxServerConnections() override { return MaxServerConnections(); }
    uint64_t ViewRandomSeed() override { return RandomSeed(); }
    BufferPool* ViewSocketPool() override;
    IStreamTransport* ViewStreamTransport() override;
    int32_t ViewSchedulingPosition() override { return SchedulingPosition(); }
    int32_t ViewConnectionsPerServer() override { return connections_per_server_; }
    int32_t ViewConnectionBudget() override { return connection_budget_; }
    bool ViewAddressBlocked(uint32_t address) override;
    ServerListView ViewServerList() override;
    void ViewHostUnresolved() override;
    bool ViewTrackers(TaskTrackerView* out) override;  // task_tracker_view.cpp
    bool ViewDht(TaskDhtView* out) override;           // task_dht_view.cpp
    bool MapReady() override;
    BlockInfo MapGeometry() override;
    bool MapPieceNeeded(int32_t piece) override;
    int64_t MapNeededPieces() override;
    bool MapBlockPresent(int32_t piece, int64_t offset) override;
    BlockWriteResult ReceiveBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data) override;
    bool ViewMarkRequested(int32_t piece, bool add, bool drop_all) override {
        return MarkRequested(piece, add, drop_all);
    }
    bool ViewInEndgame() override { return InEndgame(); }
    int32_t ViewRequesters(int32_t piece) override { return Scheduling().Requested().Count(piece); }
    void ViewDiscardPiece(int32_t piece) override;  // task_bt_views.cpp
    bool ViewSharedRequestListed(int64_t block) override { return Scheduling().SharedListed(block); }
    void ViewAddSharedRequest(const RequestRecord& record) override { Scheduling().AddShared(record); }
    bool ViewTakeSharedRequest(int64_t block, int32_t length) override {
        return Scheduling().TakeShared(block, length);
    }
    void ViewReturnRequests(std::vector<RequestRecord>& records) override {
        Scheduling().ReturnRequests(records, CheckStop());
    }
    // BitTorrent peers (task_bt_views.cpp).
    bool ViewP2P() override;
    bool ViewHttpWrap() override;
    uint32_t ViewBindAddress() override;
    IStreamTransport* ViewUdpStream() override;  // task_udp_stream_view.cpp
    bool ViewWantsRelayedPeers() override;
    int32_t ViewPeerConnectionLimit() override;
    int32_t ViewHalfOpenLimit() override;
    std::array<uint8_t, 68> ViewHandshake() override;
    bool ViewAcceptsPeers() override;
    bool MapHave(int32_t piece) override;
    std::vector<uint8_t> MapBitfield() override;
    int32_t MapReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) override;
    uint8_t* MapBlockBuffer(int32_t piece, int64_t offset, int32_t length) override;
    int32_t ViewRandomStartPiece() override { return RandomStartPiece(); }
    bool ViewTakeSharedRequests(RequestList& mine, const std::function<bool(int32_t)>& has,
                                int32_t maximum) override;
    bool ViewEndgameNow() override { return IsEndgame(); }

    std::vector<std::string> server_urls_;
    std::vector<std::string> server_hosts_;
    bool server_mode_ = false;
    // Set by the interface, reset by the worker.
    std::atomic<int32_t> max_server_connections_{49};
    std::atomic<int32_t> max_peer_connections_{0};
    int32_t connections_per_server_ = 1;  // the setting as the worker applies it

    std::unique_ptr<TaskPeers> driver_;
    HandshakeIdentity handshake_;  // built once the metainfo is loaded
    std::mutex figures_mutex_;
    TaskPeerFigures peer_figures_;  // under figures_mutex_
    uint64_t last_snapshot_ms_ = 0;
    std::vector<pollfd> wait_entries_;
    bool woke_early_ = false;      // the last pause ended on a ready connection
    uint64_t bytes_at_wake_ = 0;   // payload bytes when it did
    uint64_t last_service_ms_ = 0;  // tick count of the last network-service step
    uint32_t listen_address_ = 0;   // the listener's endpoint as this task last saw it
    int32_t listen_port_ = -1;
};

}  // namespace zl
