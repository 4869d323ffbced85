// The task's side of its tracker connector: the P2P switch, the torrent's
// trackers and the counters an announce reports.
#include "engine/core/task/task_tracker_view.h"

#include <algorithm>
#include <cstring>

#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

bool TWorkWithPeers::ViewTrackers(TaskTrackerView* out) {
    TTorrent* torrent = Torrent();
    TPieces* map = PieceMap();
    if (!out || !torrent || !map || !IsMetainfoReady()) return false;
    out->p2p = Context().Switches().p2p.load();
    // The torrent's own trackers, unless the engine was told to leave them out.
    if (Context().Switches().torrent_trackers.load()) out->urls = torrent->Trackers();
    TrackerAnnounceFacts& f = out->facts;
    f.has_torrent = true;
    std::memcpy(f.info_hash.data(), torrent->InfoHash().data(), f.info_hash.size());
    f.escaped_info_hash = torrent->EscapedInfoHash();
    f.torrent_text = torrent->Announce() + torrent->HexInfoHash();
    f.listen_port = Context().Switches().EffectiveListenPort();
    f.bind_address = Context().Switches().bind_address.load();
    f.uploaded = static_cast<int64_t>(uploaded_bytes_);
    f.downloaded = static_cast<int64_t>(http_bytes_ + peer_bytes_);
    f.left = std::max<int64_t>(map->TotalSize() - map->VerifiedBytes(), 0);
    // A UDP announce carries the handshake's peer id: its bytes 8..15 are our
    // node id, by which peers behind NAT reach us over the UDP stream.
    const std::array<uint8_t, 68> handshake = ViewHandshake();
    if (handshake[0] == 19) {
        f.has_peer_id = true;
        std::memcpy(f.peer_id.data(), handshake.data() + 48, f.peer_id.size());
    }
    return true;
}

}  // namespace zl
