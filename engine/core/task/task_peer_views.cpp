// The task as its peers see it (TaskPieceView): the clocks, the socket
// buffers, the IP filter, the server list and the piece map, into which a
// received block goes with ReceiveBlock.
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

Clock& TWorkWithPeers::ViewClock() { return Context().GetClock(); }

uint64_t TWorkWithPeers::ViewSeconds() { return Context().ClockSeconds(); }

BufferPool* TWorkWithPeers::ViewSocketPool() { return &Context().Pools().socket_buffer; }

IStreamTransport* TWorkWithPeers::ViewStreamTransport() { return Context().StreamTransport(); }

bool TWorkWithPeers::ViewAddressBlocked(uint32_t address) { return TaskIpFilter().IsBlocked(address); }

ServerListView TWorkWithPeers::ViewServerList() {
    ScopedLock guard(Lock());
    ServerListView view;
    view.server_mode = ServerMode();
    view.urls = ServerUrls();
    view.hosts = ServerHosts();
    return view;
}

void TWorkWithPeers::ViewHostUnresolved() {
    ScopedLock guard(Lock());
    live_.status = STATUS_HOST_UNRESOLVED;
    Publish(LockWait::kWait);
}

bool TWorkWithPeers::MapReady() { return IsMetainfoReady() && PieceMap() != nullptr; }

BlockInfo TWorkWithPeers::MapGeometry() { return PieceMap()->Geometry(); }

bool TWorkWithPeers::MapPieceNeeded(int32_t piece) {
    if (serve_only_) return false;
    TPieces* map = PieceMap();
    // A piece whose hash is being checked has every block: nobody fetches it
    // unless it fails (the data still counts as missing until it matched).
    const PieceInProgress& p = map->Piece(piece);
    return map->Wanted(piece) && !p.complete && !p.hashing;
}

int64_t TWorkWithPeers::MapNeededPieces() { return PieceMap()->NeededPieces(); }

bool TWorkWithPeers::MapBlockPresent(int32_t piece, int64_t offset) {
    TPieces* map = PieceMap();
    if (!map->PieceValid(piece)) return false;
    if (map->Have(piece)) return true;
    const PieceInProgress& p = map->Piece(piece);
    if (p.complete || offset < p.written) return true;
    if (offset < 0 || offset >= p.size) return false;
    return p.blocks.Initialised() && p.blocks.HasBlock(static_cast<int32_t>(offset));
}

uint8_t* TWorkWithPeers::MapBlockBuffer(int32_t piece, int64_t offset, int32_t length) {
    TPieces* map = PieceMap();
    return map ? map->BlockBuffer(piece, offset, length) : nullptr;
}

BlockWriteResult TWorkWithPeers::ReceiveBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data) {
    return PieceMap()->ReceiveBlock(piece, offset, length, data);
}

}  // namespace zl
