// The task's piece map, switches and identity as its BitTorrent peers see them.
#include <algorithm>
#include <cstring>

#include "engine/core/api/engine_context.h"
#include "engine/core/peers/peer_connector.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

bool TWorkWithPeers::ViewP2P() { return Context().Switches().p2p.load(); }

bool TWorkWithPeers::ViewHttpWrap() { return Context().Switches().http_wrap.load(); }

uint32_t TWorkWithPeers::ViewBindAddress() { return Context().Switches().bind_address.load(); }

int32_t TWorkWithPeers::ViewPeerConnectionLimit() {
    const int32_t limit = MaxPeerConnections();
    return limit > 0 ? limit : kDefaultPeerConnectionLimit;
}

int32_t TWorkWithPeers::ViewHalfOpenLimit() { return Context().Switches().half_open_limit.load(); }

bool TWorkWithPeers::ViewAcceptsPeers() { return Identity().p2sp || Identity().bt; }

std::array<uint8_t, 68> TWorkWithPeers::ViewHandshake() {
    if (!handshake_.Built() && IsMetainfoReady() && Torrent()) {
        InfoHash hash{};
        std::memcpy(hash.data(), Torrent()->InfoHash().data(), hash.size());
        PeerIdSeed seed;
        seed.announce = Torrent()->Announce();
        seed.thread_handle = GetThreadId();
        seed.task_address = reinterpret_cast<uintptr_t>(this);
        seed.tick_ms = Context().GetClock().TickMs();
        seed.local_address = Context().Switches().bind_address.load();
        handshake_.Setup(true, hash, seed, Context().NodeIdentity());
    }
    return handshake_.header();
}

bool TWorkWithPeers::MapHave(int32_t piece) {
    return MapReady() && PieceMap()->PieceValid(piece) && PieceMap()->Have(piece);
}

std::vector<uint8_t> TWorkWithPeers::MapBitfield() {
    if (!MapReady()) return {};
    return PieceMap()->Bitfield();
}

int32_t TWorkWithPeers::MapReadBlock(int32_t piece, int64_t offset, int32_t length, uint8_t* out) {
    if (!MapHave(piece) || offset < 0 || offset > INT32_MAX) return -1;
    return PieceMap()->ReadForUpload(piece, out, length, static_cast<int32_t>(offset));
}

void TWorkWithPeers::ViewDiscardPiece(int32_t piece) {
    if (!MapReady() || !PieceMap()->PieceValid(piece)) return;
    MarkFacts facts;
    Scheduling().MarkRequested(piece, false, true, facts);
    PieceMap()->DiscardProgress(piece);
}

bool TWorkWithPeers::ViewTakeSharedRequests(RequestList& mine, const std::function<bool(int32_t)>& has,
                                                  int32_t maximum) {
    const PieceTest excluded = [](int32_t) { return false; };
    return TakeSharedRequests(mine, has, excluded, maximum);
}

}  // namespace zl
