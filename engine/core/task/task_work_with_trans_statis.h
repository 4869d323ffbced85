// The statistics layer of a task: transfer counters, speeds and the loop's
// sleep. Smoothing, estimates and bandwidth distribution are added by the
// transfer statistics layer; until then the statistics pass only marks the
// second and copies the counters into the live status.
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
#include "engine/core/task/task_work_with_pieces.h"
#include "engine/core/sched/transfer_statistics.h"

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

class TWorkWithTransStatis : public TWorkWithPieces, private TaskPieceView {
public:
    explicit TWorkWithTransStatis(EngineContext& context);
    ~TWorkWithTransStatis() override;

    void Reset(ResetScope scope) override;

    // --- the server peers of the run (worker thread) ----------------------
    // The configured sources join the peers' candidates.
    void RefreshSources() override;
    // Dials candidates and drives the peers' download passes; the piece map
    // is flushed as soon as the last wanted piece arrived.
    void PeerPass() override;
    // The peers' rate snapshot.
    void FourSecondPass() override;
    void Deactivate() override;
    // The peers' DHT lookup (task_dht_view.cpp).
    void DhtSearch() override;
    // While data is wanted and may be read, the pause ends as soon as a peer's
    // connection is ready, so a fast source is read as fast as it sends.
    void WaitBetweenSteps(uint32_t ms) override;
    // Takes the speed limits set through the interface (under the task lock).
    void ApplyPendingChanges() override;
    // The run's peers; null before the first peer pass of a run.
    TaskPeers* Peers() { return driver_.get(); }
    // Passes the verdict on a piece hashed on a worker to the peers.
    void OnPieceEvent(int32_t kind, int32_t flag, int64_t size, int64_t value) override;
    // The latest published peer figures (any thread).
    TaskPeerFigures PeerFigures();

    // --- hooks of the transfer statistics layer -------------------------
    // Once a second: speeds, estimates, the loop sleep; sets the per-second flag.
    virtual void StatisticsPass(uint64_t now);
    // After each peer pass: the completed pieces' have batch, when due.
    void AnnounceHaves();
    // Applies this task's share of the engine-wide speed limits.
    virtual void ApplyBandwidth() {}
    // Sum of the current speeds of the peers whose kind is in `mask`.
    virtual int64_t SumPeerSpeed(uint32_t /*mask*/) { return 0; }
    // Uptime seconds since the last payload arrived, counted from the first
    // statistics pass of the run at which the task had a source candidate.
    uint32_t SecondsWithoutData() override;

protected:
    // Every 400 ms from the peer pass: the shared listener's service step
    // (this task's incoming connections become peers) and the published
    // listening address (incoming.cpp).
    void ServeNetwork();
    // Every 10 s from the loop: LAN announcements, replies and the peers heard.
    void ExchangeOnLan();
    // The run ended: the listener forgets this task.
    void ForgetNetwork();
    int64_t ActivePeerCount() override { return driver_ ? static_cast<int64_t>(driver_->ActiveCount()) : 0; }

    // Counted by the peers of this run (reset with the run).
    uint64_t http_bytes_ = 0;
    uint64_t peer_bytes_ = 0;
    uint64_t uploaded_bytes_ = 0;
    int32_t current_speed_ = 0;
    int32_t time_remaining_ = 0;
    uint32_t loop_sleep_ms_ = 0;  // set from the download rate; 0 means the default
    std::atomic<bool> per_second_flag_{false};

private:
    TaskPeers& Driver();
    void NoteDataSecond();

    // --- TaskPieceView: the piece map as the peers see it ---
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
    BlockWriteResult ReceivePieceBlock(int32_t piece, int64_t offset, int32_t length,
                                       const uint8_t* data) override;
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

    TransferStatistics statistics_;
    HandshakeIdentity handshake_;  // built once the metainfo is loaded
    std::mutex figures_mutex_;
    TaskPeerFigures peer_figures_;  // under figures_mutex_
    std::unique_ptr<TaskPeers> driver_;
    uint64_t last_snapshot_ms_ = 0;
    std::vector<pollfd> wait_entries_;
    uint64_t last_service_ms_ = 0;     // tick count of the last network-service step
    uint32_t listen_address_ = 0;      // the listener's endpoint as this task last saw it
    int32_t listen_port_ = -1;
    bool woke_early_ = false;          // the last pause ended on a ready connection
    uint64_t bytes_at_wake_ = 0;       // payload bytes when it did

    // The speed limits as the worker applies them, copied under the task lock.
    int32_t download_limit_kib_ = 0;
    int32_t upload_limit_kib_ = 0;
    int32_t connections_per_server_ = 1;
    int32_t connection_budget_ = 52;
    bool serve_only_ = false;

    // Seconds without payload (worker thread).
    bool data_clock_started_ = false;
    uint64_t payload_at_last_data_ = 0;
    uint32_t last_data_uptime_ = 0;
};

}  // namespace zl
