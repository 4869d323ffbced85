// TBTPeer: one connection to another BitTorrent client over TCP. It sends
// the handshake (behind the HTTP-looking preamble when that applies), reads
// the remote's messages 0-8 through the bounds-checked framer, keeps the
// remote's bitfield and choke state, plans and sends block requests together
// with the task's piece choice and shared request list, delivers received
// blocks, and serves the remote's requests within the task's upload budget.
// Which peers to connect and to choke is the task's decision.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/net/bt_peer_task.h"
#include "engine/net/bt_wire.h"
#include "engine/net/peer_object.h"

namespace zl {

// The state record of a BitTorrent connection (Info(1)).
struct BtState {
    bool interested_sent = false;
    bool we_choke = true;          // we choke the remote
    bool remote_chokes = true;     // the remote chokes us
    bool remote_has_nothing = false;  // the remote has nothing we want
    bool remote_interested = false;
    int32_t haves_received = 0;    // since the task last read them
    int32_t pieces_at_bitfield = 0;
    int32_t pieces_now = 0;
    int32_t last_have = -1;
};

class TBTPeer final : public TPeerObject {
public:
    // Connect and handshake time limits (engine seconds).
    static constexpr uint64_t kConnectSeconds = 22;
    static constexpr uint64_t kUdpConnectSeconds = 28;  // the rendezvous and hole punching come first
    // Candidates up to this order key go over the UDP stream on every third attempt.
    static constexpr int32_t kUdpOrderKeyMax = 34;
    static constexpr uint64_t kHandshakeSeconds = 12;
    // A remote with nothing we want is asked again at most this often.
    static constexpr uint64_t kReplanSeconds = 60;
    // ... and counts as stalled after this long.
    static constexpr uint64_t kStalledSeconds = 90;
    // A keep-alive goes out after this long without other output.
    static constexpr uint64_t kKeepAliveSeconds = 90;
    // Passes spent choked with requests outstanding before they are handed back.
    static constexpr int32_t kChokedPasses = 7;
    // Requests in flight that bring no block for this long are taken back and
    // given to other peers; the remote then gets one request at a time.
    static constexpr uint64_t kRequestTimeoutSeconds = 30;
    // Malformed messages tolerated on one connection before it ends.
    static constexpr int32_t kMaxErrors = 64;
    // Remote requests kept queued at most (more are ignored).
    static constexpr size_t kMaxQueuedRemoteRequests = 1024;
    // An upload pass serves at least this much of what was asked (a whole
    // queue up to this much goes at once).
    static constexpr int64_t kUploadBurstBytes = 256 * 1024;
    // Bytes the receive buffer may hold.
    static constexpr int64_t kReceiveLimit = 8192000;
    // One read takes at most this much (and a pass at most kReceiveLimit).
    static constexpr int64_t kReadChunk = 256 * 1024;
    // The claim a piece choice carves out of a server range covers at least this.
    static constexpr int64_t kMinClaimBytes = 24 * 16384;

    TBTPeer(IPeerTask& task, IBtPeerTask& bt, const SocketEnv& env);
    ~TBTPeer() override;

    bool ReceiveStep() override;
    bool SendStep() override;
    bool RequestStep() override;
    bool UploadStep() override;
    void Reset() override;
    bool SendRequests() override;
    bool AttachIdentity(TPeerId* identity) override;
    bool AttachSocket(std::unique_ptr<TSocket> socket) override;
    bool Start() override;
    bool CheckIncoming(TSocket* socket) override;
    bool IsUseless() override;
    bool IsStalled() override;
    bool IsSeed() override;
    bool IsLongSeed() override;
    int64_t RemoteRate() override;
    void CancelObsolete() override;
    // Another source delivered the block: its request here is cancelled (a
    // cancel message when it was sent) and removed; true when there was one.
    bool CancelRequest(int64_t block);
    int32_t NextPiece() override;
    void ReleaseRange() override;
    // Requests waiting to be served make the socket's writability worth
    // waking for: the next upload pass runs as soon as it can send.
    void AddWaitEntries(std::vector<pollfd>& entries) const override;

    // The task's choking decisions.
    void Choke();
    void Unchoke();
    void SendNotInterested();

    const BtState& state() const { return state_; }
    // Clears the have count (the task read it).
    void ClearHaveCount() { state_.haves_received = 0; }
    bool RemoteHas(int32_t piece) const;
    // Rates in bytes per second: the task's snapshot, or the last whole second
    // when that is more (a connection ramps up at once).
    int64_t CurrentDownloadRate() const { return EffectiveDownloadRate(); }
    int64_t CurrentUploadRate() const { return EffectiveUploadRate(); }
    const PeerIdBytes& remote_peer_id() const { return remote_id_; }
    bool disguised() const { return disguised_; }
    // The remote let requests time out and gets one at a time until it delivers.
    bool snubbed() const { return snubbed_; }
    int32_t request_timeouts() const { return request_timeouts_; }
    bool wrapped() const { return wrapped_; }
    size_t queued_remote_requests() const { return remote_requests_.size(); }
    int64_t bytes_uploaded() const { return uploaded_; }
    // Upload figures the task keeps (bytes per second and since its snapshot).
    int64_t upload_rate = 0;
    int64_t upload_accumulator = 0;
    // The task's stall bookkeeping (choked after a silent spell).
    int32_t stall_counter = 0;
    uint64_t stall_sent = 0;
    uint64_t stall_received = 0;
    bool choked_this_period = false;
    bool not_interested_sent = false;

private:
    bool SendHandshake();
    bool CompleteHandshake();
    // Parses the complete messages at the front of the receive buffer; false
    // on a protocol error. *consumed: bytes parsed.
    bool ParseMessages(size_t* consumed);
    // Parses and consumes what the buffer holds, then reacts to a change of
    // the remote's choke; false when the connection must end.
    bool ParseReceived(int64_t rate, int64_t arrived);
    bool HandleMessage(const bt::Frame& frame);
    bool HandleBitfield(const bt::Frame& frame);
    void HandleHave(uint32_t index);
    bool HandleRequest(const bt::BlockRef& ref);  // false: too many malformed messages
    void HandleCancel(const bt::BlockRef& ref);
    bool HandlePiece(const bt::Frame& frame);
    // Counts a malformed message; false once there were too many.
    bool CountError();
    void OnRemoteChoke(bool choked);
    // Cancels sent requests and hands every outstanding one back to the task.
    void ReturnOutstanding(bool send_cancels);
    bool SendBlockRef(bt::MessageId id, const RequestRecord& record);
    bool SendBytes(const uint8_t* data, size_t size);
    bool SendBytes(const std::vector<uint8_t>& bytes) { return SendBytes(bytes.data(), bytes.size()); }
    bool SendUpTo(int64_t in_flight_target);
    int64_t InFlight() const;
    // Whether any request is in flight: stops at the first (InFlight counts
    // the whole list, up to its 256 entries, on every pass).
    bool AnyInFlight() const;
    int64_t EffectiveDownloadRate() const;
    int64_t EffectiveUploadRate() const;
    // Blocks a second at the connection's rate (the request queue follows it).
    int64_t RateBlocks() const;
    // Whole blocks' worth of bytes received since the current second began.
    int64_t ReceivedThisSecond() const;
    // Requests in flight a refill aims at.
    int64_t RequestTarget() const;
    void NoteRates();
    // Adds the missing blocks of `piece`; returns how many this peer queued.
    int32_t AddPieceRequests(int32_t piece, int64_t depth);
    void ForgetMarkedPiece(int32_t piece);
    // Marks the pieces of requests taken from the task's shared list.
    void MarkTakenPieces();
    // Drops the marks of pieces this peer no longer requests anything of.
    void UnmarkIdlePieces();
    // Takes back requests that brought nothing for too long; true when it did.
    bool CheckRequestTimeout(uint64_t now);
    void CheckPendingBitfield();
    // Sizes the remote's bitfield once the metadata is there.
    void EnsureGeometry();
    void ResetState();

    IBtPeerTask& bt_;
    BtState state_;
    BlockInfo geometry_;
    std::vector<bool> remote_has_;
    std::vector<bool> skipped_;
    std::vector<uint8_t> pending_bitfield_;  // a bitfield received before the metadata
    bool bitfield_pending_ = false;
    PeerIdBytes remote_id_{};
    std::deque<bt::BlockRef> remote_requests_;
    std::vector<int32_t> marked_pieces_;  // pieces this peer marked requested
    std::vector<uint8_t> out_;            // scratch for messages we send
    std::vector<uint8_t> block_;          // scratch for an upload's block
    std::vector<uint8_t> request_batch_;  // scratch for the requests of one refill
    bool disguised_ = false;   // this connection opened with the preamble
    bool wrapped_ = false;     // the remote's first bytes carried a preamble
    bool handshake_sent_ = false;
    bool flush_toggle_ = false;
    int32_t no_data_count_ = 0;
    bool snubbed_ = false;
    bool busy_ = false;             // the last choice found only pieces others fetch
    bool doubled_ = false;          // ... or a piece others fetch too (end game)
    int32_t double_piece_ = -1;     // the end-game piece this peer fetches
    uint64_t busy_until_ = 0;       // ... so the next one waits until then
    uint64_t waiting_since_ = 0;    // requests in flight and no block since
    int32_t request_timeouts_ = 0;
    int64_t delivered_blocks_ = 0;  // blocks this connection delivered
    uint64_t last_plan_time_ = 0;
    uint64_t choked_since_ = 0;
    uint64_t seed_since_ = 0;
    uint64_t nothing_since_ = 0;
    uint64_t last_output_time_ = 0;
    uint64_t last_sent_total_ = 0;
    int64_t partial_progress_ = 0;  // bytes of a piece message seen while incomplete
    int64_t uploaded_ = 0;
    // Rates measured over the connection's last whole second: a connection
    // ramps up at once instead of waiting for the task's 4-second snapshot.
    uint64_t rate_second_ = 0;
    uint64_t rate_received_mark_ = 0;
    uint64_t rate_sent_mark_ = 0;
    int64_t measured_down_ = 0;
    int64_t measured_up_ = 0;
};

}  // namespace zl
