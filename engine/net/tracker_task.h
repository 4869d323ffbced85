// What a tracker peer needs from its task besides the common peer facts: the
// figures an announce carries, and where an answer's figures go. Peers found
// in an answer reach the task through IPeerTask::AddCandidate.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "engine/net/peer_id.h"

namespace zl {

struct TrackerAnnounceFacts {
    bool has_torrent = false;
    std::array<uint8_t, 20> info_hash{};
    std::string escaped_info_hash;  // ready for a query
    std::string torrent_text;       // the torrent's own text (seeds the announce's peer id)
    bool has_peer_id = false;
    PeerIdBytes peer_id{};          // the task's handshake peer id
    int32_t listen_port = 0;
    int64_t uploaded = 0;
    int64_t downloaded = 0;
    int64_t left = 0;               // total size - bytes done
    uint32_t published_address = 0; // network order, 0: none
    uint32_t local_address = 0;     // network order, seeds the peer id
    uint32_t bind_address = 0;      // network order: announces go out from it (0: any)
};

// An answer's figures for the task.
struct TrackerAnswerFigures {
    int32_t interval = 600;  // seconds, at least 61
    int64_t done_peers = 0;
    int64_t num_completed = 0;
    int32_t peers = 0;       // candidates handed to the task
};

class ITrackerTask {
public:
    virtual ~ITrackerTask() = default;
    // False while the task has no torrent to announce.
    virtual bool AnnounceFacts(TrackerAnnounceFacts* facts) = 0;
    virtual void NoteTrackerAnswer(const TPeerId& tracker, const TrackerAnswerFigures& figures) = 0;
    // The local address announces go out from (0: any). A tracker records the
    // announce's source address, so it must be the address we listen on.
    virtual uint32_t BindAddress() { return 0; }
};

}  // namespace zl
