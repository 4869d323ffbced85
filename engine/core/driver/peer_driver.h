// The task as its peers see it: the server sources (and the server list)
// become candidates, the server connector dials them once a second through
// the retry back-off within the server connection limit, ended connections
// penalise their sources, server connections are balanced and rotated, the
// peers' download passes are driven, their blocks go into the piece map, and
// the server ranges share the pieces among them. Owned by the statistics
// layer of the task and used only by its worker thread.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/core/sched/peer_health.h"
#include "engine/core/peers/peer_connector.h"
#include "engine/core/peers/peer_pool.h"
#include "engine/core/sched/server_ranges.h"
#include "engine/core/peers/source_health.h"
#include "engine/core/peers/server_rotation.h"
#include "engine/core/driver/candidates.h"
#include "engine/core/driver/dht_step.h"
#include "engine/core/task/task_piece_view.h"
#include "engine/core/sched/task_random.h"
#include "engine/core/driver/tracker_connector.h"
#include "engine/core/sched/transfer_statistics.h"
#include "engine/net/bt_peer.h"
#include "engine/net/peer_object.h"
#include "engine/net/resolver.h"

namespace zl {

class TaskPeerDriver final : public TaskPeers, public IPeerTask, public IBtPeerTask, private RangePeerFacts {
public:
    // `names` resolves the sources' host names (tests give a table).
    TaskPeerDriver(TaskPieceView& task, TransferStatistics& statistics,
                   std::shared_ptr<IResolverBackend> names = MakeSystemResolverBackend());
    ~TaskPeerDriver() override;
    TaskPeerDriver(const TaskPeerDriver&) = delete;
    TaskPeerDriver& operator=(const TaskPeerDriver&) = delete;

    // The source refresh: the server sources among `texts` not yet known
    // become candidates (they are dialled at the next pass).
    void AddSources(const std::vector<std::string>& texts) override;
    int32_t Pass() override;
    void RateSnapshot(uint64_t elapsed_ms) override;
    // Servers that sent too many bad pieces lose their peers and their place.
    void CandidateCleanUp() override;
    void CloseAll() override;
    uint64_t HttpBytes() const override { return http_bytes_; }
    uint64_t FtpBytes() const override { return ftp_bytes_; }
    uint64_t TwiceBytes() const override { return twice_bytes_; }
    // Pieces servers took over from remotes' queues.
    uint64_t Takeovers() const { return takeovers_; }
    size_t ActiveCount() const override { return active_.size(); }
    bool HadCandidates() const override { return candidates_.list().EverAdmitted(); }
    void AddWaitEntries(std::vector<pollfd>& entries) const override;
    uint64_t UdpStreamBytes() const override;
    void SendToBitTorrentPeers(const uint8_t* bytes, size_t length) override;
    void DhtSearch() override;  // peer_driver_dht.cpp
    const TaskDhtStep* DhtStep() const { return dht_.get(); }
    size_t UsableCandidates() const;
    int64_t SummedRate() const;

    // Asks for the peer with that serial number to be dropped at the next
    // connector second (its source is penalised).
    void RequestDrop(uint64_t serial) { drop_.insert(serial); }
    const CandidateList& Candidates() const { return candidates_.list(); }
    int32_t OpenServerConnections() const;
    uint64_t LastSerial() const { return serials_.Last(); }
    size_t PooledPeers() const { return pool_.size(); }
    const TaskTrackerConnector& TrackerConnector() const { return *trackers_; }

    // --- IPeerTask -------------------------------------------------------
    Clock& clock() override;
    uint64_t EngineSeconds() override;
    bool HasMetadata() override;
    BlockInfo Geometry() override;
    int64_t PieceLength() override { return Geometry().piece_length(); }  // for the server ranges
    bool PieceWanted(int32_t piece) override;
    bool MissingSpan(int32_t piece, int64_t* first_missing, int64_t* piece_size) override;
    bool BlockPresent(int32_t piece, int64_t offset, int32_t length) override;
    bool IsComplete() override;
    bool HasRanges() override { return !ranges_.empty(); }
    void BuildRanges() override;
    TPieceRange* AssignRange(TPeerObject& peer) override;
    // A piece BitTorrent peers are fetching is no server's to start either.
    bool PieceInAnyRange(int32_t piece) override {
        return ranges_.PieceInAnyRange(piece) || task_.ViewRequesters(piece) > 0;
    }
    TPieceRange* AddRange(int32_t first, int32_t last, TPeerObject& owner) override;
    void RemoveRange(TPieceRange* range) override { ranges_.Remove(range); }
    TPieceRange* SplitRangeAt(int32_t position, TPeerObject& peer) override;
    TPieceRange* TakeOverRange(TPeerObject& server) override;  // takeover.cpp
    void MarkNotRequested(int32_t piece) override { task_.ViewMarkRequested(piece, false, false); }
    int32_t SchedulingPosition() override { return task_.ViewSchedulingPosition(); }
    bool InEndgame() override { return task_.ViewInEndgame(); }
    bool SharedRequestListed(int64_t block) override;
    void AddSharedRequest(const RequestRecord& record) override { task_.ViewAddSharedRequest(record); }
    bool TakeSharedRequest(int64_t block, int32_t length) override;
    void ReturnRequests(std::vector<RequestRecord>& records) override;
    BlockWriteResult WriteBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data,
                                int32_t origin) override;
    // Counts the bad piece on every source that sent blocks of it; the sender
    // alone is to blame when nobody else did, and then its other unverified
    // blocks are thrown away too.
    bool ChargeBadPiece(TPeerObject& sender, int32_t piece) override;
    uint8_t* BlockBuffer(int32_t piece, int64_t offset, int32_t length) override {
        return task_.MapBlockBuffer(piece, offset, length);
    }
    // A piece whose last block came back kPieceQueued got its verdict: the
    // peer that completed it is credited, or charged as ChargeBadPiece does,
    // and its connection ends.
    void PieceChecked(int32_t piece, bool matched) override;
    void AddReceived(int64_t bytes) override;
    void AddKindBytes(int32_t kind, int64_t bytes) override;
    void PenaliseSource(TPeerId* identity, bool keep, int32_t passes) override;
    void AddCandidate(TPeerId* identity) override;
    void NoteHostUnresolved() override;
    int64_t DownloadAllowance() override;
    bool P2PEnabled() override { return task_.ViewP2P(); }
    void NoteSendPending(TPeerObject&) override {}

    // --- BitTorrent peers (bt_peers.cpp) ------------------------------
    const BtHandshake& Handshake() override;
    bool HttpWrap() override { return task_.ViewHttpWrap(); }
    bool AcceptsPeers() override { return task_.ViewAcceptsPeers(); }
    bool HasPeerWithId(const TPeerObject& self, uint32_t address, const PeerIdBytes& id) override;
    void NoteConnected(TPeerObject& peer) override;
    std::vector<uint8_t> OwnBitfield() override { return task_.MapBitfield(); }
    bool HavePiece(int32_t piece) override { return task_.MapHave(piece); }
    int32_t ChoosePiece(TPeerObject& peer, const BtPieceQuery& query) override;
    void UnmarkRequested(int32_t piece) override { task_.ViewMarkRequested(piece, false, false); }
    bool MarkRequested(int32_t piece) override { return task_.ViewMarkRequested(piece, true, false); }
    bool TakeSharedRequests(RequestList& mine, const std::function<bool(int32_t)>& remote_has,
                            int32_t maximum) override {
        return task_.ViewTakeSharedRequests(mine, remote_has, maximum);
    }
    bool InEndgameNow() override { return task_.ViewEndgameNow(); }
    int32_t ReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) override {
        return task_.MapReadBlock(piece, offset, length, out);
    }
    int64_t UploadAllowance() override { return statistics_.UploadAllowance(); }
    void AddUploaded(int64_t bytes) override;
    int32_t ActiveNodeCount() override { return ConnectedPeers(); }
    uint32_t BindAddress() override { return task_.ViewBindAddress(); }
    bool WantsRelayedPeers() override { return task_.ViewWantsRelayedPeers(); }
    uint64_t BitTorrentBytes() const override { return bt_bytes_; }
    uint64_t UploadedBytes() const override { return uploaded_bytes_; }
    int32_t ConnectedPeers() const override;
    int32_t ConnectedSeeds() const override;
    std::string FailingSources(int32_t* count) const override { return health_.Failing(count); }
    int32_t UsableSourceCount() const override { return static_cast<int32_t>(UsableCandidates()); }
    // A known BitTorrent peer (a "btnode://" source) becomes a candidate.
    void AddKnownNode(TPeerId& node);
    // Incoming connections and LAN discovery (incoming.cpp).
    bool AcceptIncoming(std::unique_ptr<TSocket> socket) override;
    void NoteListener(uint32_t address, int32_t port) override;
    void AddLanPeer(uint32_t address, uint16_t port, const std::array<uint8_t, 20>& peer_id) override;

private:
    // The connectors' view of the driver: dialling and the facts of eligibility.
    class Connector final : public IPeerDialer, public ICandidateFacts {
    public:
        explicit Connector(TaskPeerDriver& driver) : driver_(driver) {}
        bool Dial(TPeerId& candidate, uint64_t serial) override;
        bool P2PEnabled() const override { return driver_.task_.ViewP2P(); }
        bool IsBlocked(uint32_t address) const override;
        bool HasConnectionTo(uint32_t address, int32_t port) const override;
        bool HasConnectedPeer(uint32_t address, const PeerIdBytes& peer_id) const override;
        bool DataComplete() const override;
        int64_t CurrentSpeed() const override;
        uint64_t Now() const override;

    private:
        TaskPeerDriver& driver_;
    };
    // The task's IP filter as the admission rules see it.
    class AddressFilter final : public IAddressFilter {
    public:
        explicit AddressFilter(TaskPieceView& view) : view_(view) {}
        bool IsBlocked(uint32_t address) const override { return view_.ViewAddressBlocked(address); }

    private:
        TaskPieceView& view_;
    };

    // --- RangePeerFacts --------------------------------------------------
    int64_t DownloadRate(const TPeerObject& peer) override;
    int32_t RangesClaimed(const TPeerObject& peer) override;
    int32_t LastPiece(const TPeerObject& peer) override;
    TPeerId* Identity(TPeerObject& peer) override { return peer.identity(); }
    void NoteClaimed(TPeerObject& peer) override;
    void ReleaseOwnedRange(TPeerObject& owner) override { owner.ReleaseRange(); }
    bool PieceNeeded(int32_t piece) override { return PieceWanted(piece); }
    int64_t MissingPieces() override;

    // Once per engine-clock second: the drop set, the server connector, the
    // idle refresh and the server balancing.
    void ConnectorSecond(uint64_t now);
    void PickServers(int32_t n);
    RefPtr<TPeerObject> CreatePeer(int32_t kind);
    void ReturnPeer(const RefPtr<TPeerObject>& peer);
    // Takes the peer at `index` off the active list and returns it to the
    // pool; its source is penalised with `passes` unless that is 0 or the peer
    // timed out (it did so itself) or finished its work.
    void EndPeer(size_t index, int32_t passes);
    // DropPeers(servers, count, keep-good): the slowest server connections go.
    void DropServers(int32_t count, bool speed_aware);
    void SortActive();
    void ReportHostFailure();
    std::unique_ptr<TaskTrackerConnector> MakeTrackerConnector();  // peer_driver_trackers.cpp

    // --- BitTorrent half (bt_peers.cpp) ---
    // Once a second: the node connector while the P2P switch is on (else two
    // BitTorrent peers go), obsolete requests cancelled.
    void NodeSecond();
    // Every 4 s after the rate snapshot: pruning, choking, stalls, long seeds.
    void NodeFourSeconds();
    // The upload passes of the BitTorrent peers.
    void UploadPasses();
    // DropPeers(kind 1, count, no filter): the last BitTorrent peers of the active list go.
    void DropNodes(int32_t count);
    void SortActiveSeeding();
    // The failing-source record of an ended peer.
    void NoteEnded(TPeerObject& peer, bool failed);
    static std::string SourceName(const TPeerId& identity);
    int32_t ConnectingNodes() const;
    // Pieces others fetch may be fetched once more: the end game, or as few
    // pieces missing as there are connections.
    bool EndgameOpen();
    // Gives the pieces [lo, hi] of a server range to a BitTorrent peer.
    void CutRange(TPieceRange& range, int32_t lo, int32_t hi);
    bool PieceInNodeClaim(int32_t piece) const;
    // The piece choice with server ranges: this peer's claim at a range's end.
    int32_t ChooseFromRanges(TPeerObject& peer, const std::function<bool(int32_t)>& take,
                             const std::function<bool(int32_t)>& qualifies);
    // The block arrived: the other BitTorrent peers that still have it
    // requested cancel it (takeover.cpp).
    void CancelElsewhere(int32_t piece, int64_t offset);
    // The piece verified: the BitTorrent peers that still have blocks of it
    // requested cancel them at once (takeover.cpp).
    void CancelPieceElsewhere(int32_t piece);
    // --- the crowd's piece policy (crowd_pieces.cpp) ---
    // Servers take runs of at most this many bytes of the least held pieces.
    static constexpr int64_t kCrowdRunBytes = 2 * 1024 * 1024;
    // A task that may meet peers (it has trackers or known peers) counts as
    // in a crowd for this long after its start, while its peers are found.
    static constexpr uint64_t kCrowdStartSeconds = 10;
    // How often the passes look again whether the task is in a crowd.
    static constexpr uint64_t kCrowdCheckMs = 200;
    // The task is in a crowd while a connected BitTorrent peer still
    // downloads (or at its start, above); entering it cuts the whole-file
    // server shares short. Run every second and before a server's choice.
    void UpdateCrowdMode();
    struct NodesConnected {
        bool any = false;          // a BitTorrent peer with the handshake done
        bool downloading = false;  // ... that is no seed
    };
    NodesConnected ConnectedNodeKinds();
    bool MayMeetPeers() const;
    int32_t CrowdRunPieces();
    // How many connected BitTorrent peers hold each piece (counted again at
    // most every 50 ms).
    const std::vector<int32_t>& Availability();
    // Wanted, and fetched by nobody: neither a server nor a BitTorrent peer.
    bool FreeForServer(int32_t piece);
    // Ranges without a connected server working on them go: their pieces
    // are chosen again by rarity.
    void DropUnownedRanges();
    // A run of the least held free pieces for a server (it owns the range), or null.
    TPieceRange* CrowdRange(TPeerObject& server);
    // The least held fresh piece outside the server ranges, marked requested; -1 when none.
    int32_t ChooseRarest(const BtPieceQuery& query, const std::function<bool(int32_t)>& fresh);
    static TBTPeer* AsNode(TPeerObject& peer) {
        return peer.kind() == kKindNode ? static_cast<TBTPeer*>(&peer) : nullptr;
    }

    TaskPieceView& task_;
    TransferStatistics& statistics_;
    TResolver resolver_;
    TaskRandom random_;
    ServerRanges ranges_;
    AddressFilter filter_;
    TaskCandidates candidates_;
    Connector connector_{*this};
    PeerSerials serials_;
    PeerPool<TPeerObject> pool_;
    ActiveList<TPeerObject> active_;
    DropSet drop_;
    IdleServerSeconds idle_;
    ServerBalancer balancer_;
    ServerWatchdog watchdog_;
    uint64_t started_ = 0;  // engine seconds when the driver started
    bool servers_picked_ = false;  // the server list's first picks of the run
    std::unordered_map<const TPeerObject*, int32_t> claimed_;
    const TPeerObject* bad_sender_ = nullptr;  // the peer that ends for a bad piece
    // The sources of the blocks of every piece not verified yet.
    std::unordered_map<int32_t, std::vector<RefPtr<TPeerId>>> contributors_;
    // The connection that completed each piece whose hash is being checked
    // (a peer object is reused for other sources once its connection ended:
    // the serial tells whether it is still the same connection).
    struct Completer {
        RefPtr<TPeerObject> peer;
        RefPtr<TPeerId> source;
        uint64_t serial = 0;
    };
    std::unordered_map<int32_t, Completer> checking_;
    uint64_t passing_serial_ = 0;
    int32_t blocks_taken_ = 0;
    uint64_t last_connector_pass_ = 0;
    TPeerObject* passing_ = nullptr;  // the peer whose download pass runs
    uint64_t http_bytes_ = 0;
    uint64_t ftp_bytes_ = 0;
    uint64_t twice_bytes_ = 0;
    uint64_t takeovers_ = 0;

    // BitTorrent half.
    struct NodeClaim {
        int32_t first = 0;
        int32_t next = -1;  // handed out downwards; below `first`: used up
    };
    std::unordered_map<const TPeerObject*, NodeClaim> claims_;
    bool crowd_mode_ = false;
    bool crowd_expected_ = false;
    uint64_t crowd_checked_ms_ = 0;  // in a crowd only because the peers are still being found
    std::vector<int32_t> availability_;
    std::vector<bool> in_flight_;  // pieces a connected BitTorrent peer has requests out for
    uint64_t availability_ms_ = 0;
    BtHandshake handshake_{};
    SourceHealth health_;
    uint64_t bt_bytes_ = 0;
    uint64_t uploaded_bytes_ = 0;
    uint64_t passes_ = 0;
    uint64_t peer_statistics_count_ = 0;
    uint64_t last_node_second_ = 0;
    uint64_t upload_second_ = 0;  // the engine second of the upload pass counter
    uint64_t upload_pass_ = 0;    // upload passes in that second
    std::unique_ptr<TaskTrackerConnector> trackers_;
    std::unique_ptr<TaskDhtStep> dht_;  // made at the first DHT search
    TaskDhtView dht_view_;              // during a DHT search
};

}  // namespace zl
