// The engine interface's peer figures and settings beyond the classic calls:
// the local address outgoing connections use, whether tasks use their
// torrent's own trackers, and a task's peers, seeds, uploads, bytes per kind
// of source and the sources that keep failing with their last error.
#pragma once
#include <cstdint>

#include "engine/core/task/task_records.h"

namespace zl {

class EngineContext;

struct TaskPeerInfo {
    int32_t peers = 0;          // BitTorrent peers with the handshake done
    int32_t seeds = 0;          // ... of which hold every piece
    int32_t upload_speed = 0;   // bytes per second, average over the run
    uint64_t uploaded = 0;      // block bytes sent to peers
    uint64_t http_bytes = 0;    // payload received per kind of source
    uint64_t ftp_bytes = 0;
    uint64_t bt_bytes = 0;
    uint64_t twice_bytes = 0;   // block bytes that came when already there (the end game)
    int32_t sources = 0;        // usable candidates
    int32_t failing = 0;        // sources whose latest attempt failed
    // One line per failing source: its text, a tab, its last error.
    char failing_text[kTaskTextSize] = {};
};

// Network order; 0: any.
int32_t EngineSetBindAddress(uint32_t address);
int32_t EngineSetBindAddress(EngineContext& c, uint32_t address);
// On (the default): a task also announces to the trackers its torrent names.
int32_t EngineSetTorrentTrackers(int32_t on);
int32_t EngineSetTorrentTrackers(EngineContext& c, int32_t on);
int32_t TaskGetPeerInfo(TaskHandle task, TaskPeerInfo* info);
int32_t TaskGetPeerInfo(EngineContext& c, TaskHandle task, TaskPeerInfo* info);

}  // namespace zl
