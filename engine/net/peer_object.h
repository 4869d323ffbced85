// The common peer model: the interface every connection to a source
// implements (TVirtualPeer) and the shared behaviour of the concrete peers
// (TPeerObject): attaching, the download and upload passes the task drives,
// block request planning over server ranges, delivery of received blocks,
// and teardown. Peers belong to one task thread and are not locked.
#pragma once
#include <cstdint>
#include <memory>

#include "engine/base/ref_object.h"
#include "engine/net/peer_id.h"
#include "engine/net/peer_requests.h"
#include "engine/net/peer_task.h"
#include "engine/net/socket.h"

namespace zl {

enum PeerConnectionState : int32_t { kConnNone = 0, kConnOpen = 1, kConnHandshakeDone = 2 };
enum PeerActivity : int32_t {
    kActivityNone = 0,
    kActivityTransferring = 1,
    kActivityWaiting = 2,
    kActivityIdle = 4,
    kActivityTimedOut = 5,
    kActivityFinished = 6,
};

struct PeerStatistics {
    bool incoming = false;
    uint64_t attach_time = 0;  // engine seconds
    bool send_pending = false;
    int32_t idle_passes = 0;
    int32_t current_piece = -1;
    int32_t ranges_claimed = 0;
};

struct PeerTransfer {
    int64_t pass_received = 0;
    int64_t pass_sent = 0;
    int64_t total_sent = 0;
    int64_t download_rate = 0;  // bytes per second, estimated by the task
    int64_t download_accumulator = 0;  // bytes read since the task's last rate snapshot
};

class TVirtualPeer {
public:
    virtual ~TVirtualPeer() = default;
    virtual bool ReceiveStep() = 0;
    virtual bool SendStep() = 0;
    virtual bool RequestStep() = 0;
    virtual bool UploadStep() = 0;
    virtual void Reset() = 0;
    virtual bool DownloadPass() = 0;
    virtual bool UploadPass() = 0;
    virtual bool SendRequests() = 0;
    virtual bool AttachIdentity(TPeerId* identity) = 0;
    virtual bool AttachSocket(std::unique_ptr<TSocket> socket) = 0;
    virtual bool Start() = 0;
    virtual bool CheckIncoming(TSocket* socket) = 0;
    virtual bool IsUseless() = 0;
    virtual bool ShouldDisconnect(bool keep_stalled) = 0;
    virtual bool IsTimedOut() = 0;
    virtual const PeerStatistics* Info(int32_t which) = 0;
    virtual bool IsConnected() = 0;
    virtual int64_t RemoteRate() = 0;
    virtual bool IsStalled() = 0;
    virtual bool IsLongSeed() = 0;
    virtual void CancelObsolete() = 0;
    virtual bool IsSeed() = 0;
    virtual void ReleaseRange() = 0;
    virtual int32_t NextPiece() = 0;
};

class TPeerObject : public TVirtualPeer, public TRefObject {
public:
    // Outstanding requests never exceed this depth, whatever the rate: standard
    // peers queue only so many, and deeper queues only add latency.
    static constexpr int64_t kMaxQueueDepth = 256;
    // A server follows the task's reader when it moves more than this many pieces.
    static constexpr int32_t kPositionJump = 6;

    TPeerObject(IPeerTask& task, int32_t kind, const SocketEnv& env);

    bool ReceiveStep() override { return true; }
    bool SendStep() override { return true; }
    bool RequestStep() override;
    bool UploadStep() override { return true; }
    void Reset() override;
    bool DownloadPass() override;
    bool UploadPass() override;
    bool SendRequests() override { return true; }
    bool AttachIdentity(TPeerId* identity) override;
    bool AttachSocket(std::unique_ptr<TSocket> socket) override;
    bool Start() override { return true; }
    bool CheckIncoming(TSocket*) override { return true; }
    bool IsUseless() override { return false; }
    bool ShouldDisconnect(bool keep_stalled) override;
    bool IsTimedOut() override { return false; }
    const PeerStatistics* Info(int32_t which) override { return which == 0 ? &stats_ : nullptr; }
    bool IsConnected() override { return connection_state_ != kConnNone && socket_ != nullptr; }
    int64_t RemoteRate() override { return 0; }
    bool IsStalled() override { return false; }
    bool IsLongSeed() override { return false; }
    void CancelObsolete() override {}
    bool IsSeed() override { return true; }
    void ReleaseRange() override;
    int32_t NextPiece() override;

    bool HandshakeDone() const { return socket_ != nullptr && connection_state_ == kConnHandshakeDone; }
    // A received block: true when it matched a request and the piece map took it.
    bool DeliverBlock(int64_t block, int32_t length, const uint8_t* data);
    // Bytes and blocks one read in place may take (across the pieces' memory).
    static constexpr int64_t kInPlaceReceiveMax = 262144;
    static constexpr int kInPlaceMaxBlocks = 16;
    enum InPlaceResult : int { kInPlaceClosed = -2, kInPlaceFailed = -1, kInPlaceNotNow = 0, kInPlaceDone = 1 };
    // For a stream of raw data bytes (an HTTP body, an FTP transfer) whose
    // next byte has file offset `stream_offset`, ending at `stream_end` (-1:
    // unknown): reads the next requested blocks straight into the piece map's
    // memory and delivers them, advancing `stream_offset`. Possible while
    // `socket` buffers less than the first block (those bytes move to its
    // place first); a block read only in part is left in the buffer.
    // kInPlaceClosed: the socket closed or failed; kInPlaceFailed: a block
    // was refused; kInPlaceNotNow: read the usual way; kInPlaceDone: read for
    // this pass.
    int ReceiveBlocksInPlace(TSocket& socket, int64_t& stream_offset, int64_t stream_end);
    TPieceRange* ClaimFirstRange();
    // Claims a range (up to `attempts` tries) and returns its first wanted piece, or -1.
    int32_t ClaimRange(int32_t attempts);

    int32_t kind() const { return kind_; }
    bool IsServer() const { return (kind_ & kKindServers) != 0; }
    int32_t connection_state() const { return connection_state_; }
    int32_t activity() const { return activity_; }
    TPeerId* identity() const { return identity_; }
    TSocket* socket() const { return socket_.get(); }
    TPieceRange* range() const { return range_; }
    const RequestList& outstanding() const { return outstanding_; }
    RequestList& outstanding() { return outstanding_; }
    const PeerTransfer& transfer() const { return transfer_; }
    PeerTransfer& transfer() { return transfer_; }
    int32_t position_snapshot() const { return position_snapshot_; }
    uint64_t last_data_time() const { return last_data_time_; }
    int32_t no_data_passes() const { return no_data_passes_; }
    int32_t errors() const { return errors_; }
    int64_t bytes_received_total() const { return bytes_total_; }
    int64_t QueueDepthTarget() const;
    // The descriptors a waiting task loop should wake on for this peer.
    virtual void AddWaitEntries(std::vector<pollfd>& entries) const {
        if (socket_) socket_->AddWaitEntry(entries);
    }

protected:
    ~TPeerObject() override;  // concrete peers call Reset in their own destructor

    // Byte counters bracketing a pass; FTP reports its data connection's.
    virtual uint64_t PassBytesSent() const { return socket_ ? socket_->bytes_sent() : 0; }
    virtual uint64_t PassBytesReceived() const { return socket_ ? socket_->bytes_received() : 0; }
    uint64_t Now() const;
    // A server peer's time limit: true (activity state 5, range released) once
    // more than `limit_seconds` passed since the attach or the last block.
    bool TimedOutAfter(int64_t limit_seconds);
    int32_t FirstOpenPiece(const TPieceRange& range, int32_t from);
    void EnsureSocket();

    IPeerTask& task_;
    SocketEnv env_;
    int32_t connection_state_ = kConnNone;
    int32_t activity_ = kActivityNone;
    int32_t kind_;
    int32_t position_snapshot_ = 0;
    RequestList outstanding_;
    RequestList incoming_;
    PeerStatistics stats_;
    PeerTransfer transfer_;
    TPeerId* identity_ = nullptr;
    TPieceRange* range_ = nullptr;
    std::unique_ptr<TSocket> socket_;
    uint64_t last_data_time_ = 0;
    int32_t no_data_passes_ = 0;
    int32_t errors_ = 0;
    int64_t bytes_total_ = 0;
    int64_t kib_total_ = 0;

private:
    template <class Steps>
    bool MeasuredPass(Steps steps);
};

}  // namespace zl
