// What a BitTorrent peer needs from its task beyond the common peer facts
// (IPeerTask): the handshake to send, the engine switches, our bitfield, the
// piece choice and request bookkeeping shared by all BitTorrent peers, block
// reads for uploads and the upload budget. The task's peer driver implements
// it; tests drive a peer against a small fake.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/meta/block_info.h"
#include "engine/net/peer_id.h"
#include "engine/net/peer_requests.h"

namespace zl {

class TPeerObject;

using BtHandshake = std::array<uint8_t, 68>;

// What the task asks of a remote when it chooses a piece for it.
struct BtPieceQuery {
    // The remote has the piece and it is not skipped for this remote.
    std::function<bool(int32_t piece)> offered;
    int32_t last_have = -1;  // the remote's latest "have", tried first when random
    // Set by the choice when it found nothing only because other peers (or
    // servers) fetch every wanted piece the remote offers.
    bool* busy = nullptr;
    // In the end game the peer may take one piece that others fetch too; it
    // takes another only once that one is done. *doubled: the choice is such.
    bool may_double = true;
    bool* doubled = nullptr;
};

class IBtPeerTask {
public:
    virtual ~IBtPeerTask() = default;

    // The 68 bytes of our handshake (byte 0 is 19 once the task built it).
    virtual const BtHandshake& Handshake() = 0;
    virtual bool HttpWrap() = 0;
    // The task takes BitTorrent peers at all (a P2SP or BitTorrent task).
    virtual bool AcceptsPeers() = 0;
    // Another handshaken connection of this task has this peer id and address.
    virtual bool HasPeerWithId(const TPeerObject& self, uint32_t address, const PeerIdBytes& id) = 0;
    // The handshake with a peer at this address completed.
    virtual void NoteConnected(TPeerObject& peer) = 0;

    // Our verified pieces, most significant bit first; empty before the piece map.
    virtual std::vector<uint8_t> OwnBitfield() = 0;
    virtual bool HavePiece(int32_t piece) = 0;

    // Chooses a piece the remote offers, that is wanted, that this peer does
    // not request yet, and marks it requested for this peer; -1 when none.
    virtual int32_t ChoosePiece(TPeerObject& peer, const BtPieceQuery& query) = 0;
    // (The peer stops requesting a piece through IPeerTask::UnmarkRequested.)
    // The peer requests the piece too (it took requests others handed back):
    // one entry, when the task allows one more; false otherwise.
    virtual bool MarkRequested(int32_t /*piece*/) { return false; }
    // Moves handed-back requests of the first piece the remote has into the
    // peer's list (at most `maximum` entries in it). True when any moved.
    virtual bool TakeSharedRequests(RequestList& mine, const std::function<bool(int32_t)>& remote_has,
                                    int32_t maximum) = 0;
    virtual bool InEndgameNow() = 0;

    // Reads a block of a verified piece for an upload: bytes read, or < 0.
    virtual int32_t ReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) = 0;
    // Bytes the peers may still send in this second (0: none now; < 0: unlimited).
    virtual int64_t UploadAllowance() = 0;
    virtual void AddUploaded(int64_t bytes) = 0;
    // Handshaken BitTorrent peers of the task (the send chunk depends on it).
    virtual int32_t ActiveNodeCount() = 0;
    // The local address outgoing connections bind to (0: any).
    virtual uint32_t BindAddress() { return 0; }
    // Outgoing connections may go over the engine's UDP stream: the engine is
    // not reachable directly and the rendezvous server reported its address.
    virtual bool WantsRelayedPeers() { return false; }
};

}  // namespace zl
