// What the peer driver of a task needs from the rest of the task: the piece
// map's facts and block delivery, the clocks, the connection limit and the
// socket buffers. The task's peer layer (TWorkWithPeers) answers it; the two
// sides stay apart because the piece map and the peer model are built
// separately.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/meta/block_info.h"
#include "engine/meta/block_write.h"
#include "engine/net/socket.h"

struct pollfd;

namespace zl {

class BufferPool;
class Clock;
class IStreamTransport;
struct RequestRecord;
class RequestList;
struct TaskDhtView;
struct TaskTrackerView;
class TransferStatistics;

// The task's server list (TaskAddServers), copied for its peers.
struct ServerListView {
    bool server_mode = false;
    std::vector<std::string> urls;
    std::vector<std::string> hosts;  // "null" or missing: no host name to present
};

class TaskPieceView {
public:
    virtual ~TaskPieceView() = default;

    virtual Clock& ViewClock() = 0;
    virtual uint64_t ViewSeconds() = 0;  // the engine clock
    virtual int32_t ViewMaxServerConnections() = 0;
    // The seed of the peers' random generator (0: a fresh one).
    virtual uint64_t ViewRandomSeed() { return 0; }
    virtual BufferPool* ViewSocketPool() = 0;
    // The TCP transport of the engine (null: the operating system's).
    virtual IStreamTransport* ViewStreamTransport() { return nullptr; }
    // The first piece of the latest read of the task's data by the
    // application (-1: none); server sources jump there.
    virtual int32_t ViewSchedulingPosition() { return -1; }
    // Task settings as the connectors use them.
    virtual int32_t ViewConnectionsPerServer() { return 1; }
    virtual int32_t ViewConnectionBudget() { return 52; }
    // The task's IP filter.
    virtual bool ViewAddressBlocked(uint32_t /*address*/) { return false; }
    virtual ServerListView ViewServerList() { return {}; }
    // A source's host name did not resolve: the task shows it in its status at once.
    virtual void ViewHostUnresolved() {}
    // The P2P switch, the torrent's trackers and an announce's figures (false: no torrent yet).
    virtual bool ViewTrackers(TaskTrackerView* /*out*/) { return false; }
    // The DHT switches, the info hash and the node:// entries (false: no torrent yet).
    virtual bool ViewDht(TaskDhtView* /*out*/) { return false; }

    // False before the metainfo and the piece map are built.
    virtual bool MapReady() = 0;
    virtual BlockInfo MapGeometry() = 0;
    // Wanted, and neither on disk nor complete in memory.
    virtual bool MapPieceNeeded(int32_t piece) = 0;
    // How many pieces are needed, kept as pieces change (-1: not kept; the
    // caller counts with MapPieceNeeded).
    virtual int64_t MapNeededPieces() { return -1; }
    virtual bool MapBlockPresent(int32_t piece, int64_t offset) = 0;
    // Stores a received block in the piece map: TPieces::ReceiveBlock, with
    // the same arguments (see BlockWrite).
    virtual BlockWriteResult ReceiveBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data) = 0;

    // The task's piece-scheduling state (a view without one keeps none).
    virtual bool ViewMarkRequested(int32_t /*piece*/, bool /*add*/, bool /*drop_all*/) { return false; }
    virtual bool ViewInEndgame() { return false; }
    // How many BitTorrent peers request the piece now.
    virtual int32_t ViewRequesters(int32_t /*piece*/) { return 0; }
    // Throws away the piece's unverified blocks and every peer's mark on it.
    virtual void ViewDiscardPiece(int32_t /*piece*/) {}
    virtual bool ViewSharedRequestListed(int64_t /*block*/) { return false; }
    virtual void ViewAddSharedRequest(const RequestRecord& /*record*/) {}
    virtual bool ViewTakeSharedRequest(int64_t /*block*/, int32_t /*length*/) { return false; }
    // A leaving peer's requests: listed for other peers, or freed when stopping.
    virtual void ViewReturnRequests(std::vector<RequestRecord>& /*records*/) {}

    // --- BitTorrent peers ---
    // The engine's P2P and HTTP-wrap switches and the local address outgoing
    // connections bind to.
    virtual bool ViewP2P() { return false; }
    virtual bool ViewHttpWrap() { return false; }
    virtual uint32_t ViewBindAddress() { return 0; }
    // The engine's UDP stream for relayed peers (null: none), and whether
    // outgoing connections may use it (WantsRelayedPeers).
    virtual IStreamTransport* ViewUdpStream() { return nullptr; }
    virtual bool ViewWantsRelayedPeers() { return false; }
    virtual int32_t ViewPeerConnectionLimit() { return 50; }
    virtual int32_t ViewHalfOpenLimit() { return 32; }
    // The task's 68-byte handshake (byte 0 is 19 once built; zero before the metainfo).
    virtual std::array<uint8_t, 68> ViewHandshake() { return {}; }
    // The task accepts BitTorrent peers (a P2SP or BitTorrent task).
    virtual bool ViewAcceptsPeers() { return false; }
    virtual bool MapHave(int32_t /*piece*/) { return false; }
    // The verified pieces, most significant bit first.
    virtual std::vector<uint8_t> MapBitfield() { return {}; }
    // Reads bytes of a verified piece for an upload: bytes read or < 0.
    virtual int32_t MapReadBlock(int32_t /*piece*/, int64_t /*offset*/, int32_t /*length*/, uint8_t* /*out*/) {
        return -1;
    }
    // Memory where a missing block may be received in place, or null.
    virtual uint8_t* MapBlockBuffer(int32_t /*piece*/, int64_t /*offset*/, int32_t /*length*/) { return nullptr; }
    // Where a BitTorrent peer starts its piece choice.
    virtual int32_t ViewRandomStartPiece() { return 0; }
    // The shared requests of the first piece `has` holds (still needed) move to `mine`.
    virtual bool ViewTakeSharedRequests(RequestList& /*mine*/, const std::function<bool(int32_t)>& /*has*/,
                                        int32_t /*maximum*/) {
        return false;
    }
    virtual bool ViewEndgameNow() { return false; }
};

// The task's peers as the rest of the task drives them (worker thread).
class TaskPeers {
public:
    virtual ~TaskPeers() = default;
    // Adds the server sources among `texts` not yet known as candidates.
    virtual void AddSources(const std::vector<std::string>& texts) = 0;
    // Dials candidates, drives every active peer's download pass, drops the
    // peers that ended. Returns the number of blocks the piece map took.
    virtual int32_t Pass() = 0;
    // Every 4 seconds: each peer's download rate from the bytes it delivered.
    virtual void RateSnapshot(uint64_t elapsed_ms) = 0;
    // Every 4 seconds: servers that sent too many bad pieces are removed.
    virtual void CandidateCleanUp() {}
    // Closes every peer and forgets the ranges.
    virtual void CloseAll() = 0;
    // No wanted piece is missing (on disk or complete in memory).
    virtual bool IsComplete() = 0;
    // Payload bytes delivered by HTTP and by FTP sources.
    virtual uint64_t HttpBytes() const = 0;
    virtual uint64_t FtpBytes() const = 0;
    // Block bytes that arrived when the block (or its piece) was there already.
    virtual uint64_t TwiceBytes() const { return 0; }
    virtual size_t ActiveCount() const = 0;
    // Whether any source ever became a candidate in this run.
    virtual bool HadCandidates() const { return false; }
    // The descriptors of the active peers' connections, for the loop's wait.
    virtual void AddWaitEntries(std::vector<pollfd>& entries) const = 0;
    // Bytes sent and received so far by the active peers' connections over
    // the UDP stream (the loop's wait counts a wake that moved them as progress).
    virtual uint64_t UdpStreamBytes() const { return 0; }
    // Sends the bytes (a run of "have" messages) to every BitTorrent peer
    // whose handshake is done.
    virtual void SendToBitTorrentPeers(const uint8_t* /*bytes*/, size_t /*length*/) {}
    // The DHT peer search (every 8 seconds, from the task's housekeeping).
    virtual void DhtSearch() {}
    // Payload bytes delivered by BitTorrent peers, and bytes of blocks uploaded.
    virtual uint64_t BitTorrentBytes() const { return 0; }
    virtual uint64_t UploadedBytes() const { return 0; }
    // Handshaken BitTorrent peers, and those among them holding every piece.
    virtual int32_t ConnectedPeers() const { return 0; }
    virtual int32_t ConnectedSeeds() const { return 0; }
    // Sources whose latest attempt failed: "text\terror" lines, and how many.
    virtual std::string FailingSources(int32_t* count) const {
        *count = 0;
        return {};
    }
    virtual int32_t UsableSourceCount() const { return 0; }
    // A connection the shared listener accepted whose handshake names this
    // task: it becomes a peer, or is closed when the task refuses it.
    virtual bool AcceptIncoming(std::unique_ptr<TSocket> /*socket*/) { return false; }
    // The listener's published endpoint (network order): never dialled.
    virtual void NoteListener(uint32_t /*address*/, int32_t /*port*/) {}
    // A peer of this torrent heard on the local network.
    virtual void AddLanPeer(uint32_t /*address*/, uint16_t /*port*/, const std::array<uint8_t, 20>& /*peer_id*/) {}
    // The verdict on a piece whose hash was checked after its last block was
    // taken (outside any peer's pass): its sender is credited or charged.
    virtual void OnPieceChecked(int32_t /*piece*/, bool /*ok*/) {}
};

std::unique_ptr<TaskPeers> MakeTaskPeers(TaskPieceView& view, TransferStatistics& statistics);

}  // namespace zl
