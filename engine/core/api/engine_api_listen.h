// The engine interface of the shared listener and of serving: LAN discovery
// on or off, a task that serves its verified pieces only, and a task's
// start-up check progress with its published listening address.
#pragma once
#include <cstdint>

#include "engine/core/task/task_records.h"

namespace zl {

class EngineContext;

struct TaskServeInfo {
    int32_t state = 0;          // the task state (3 while its metainfo is parsed and its files checked)
    uint64_t checked = 0;       // bytes of the start-up check done
    uint64_t total = 0;         // bytes of the torrent
    int32_t piece_count = 0;
    int32_t finished_pieces = 0;
    // "a.b.c.d : port", "Service Disabled!" while the P2P switch is off, or "" before listening.
    char listen_address[64] = {};
};

// LAN discovery runs on the network of the published address (off by default).
int32_t EngineSetLanDiscovery(int32_t on);
int32_t EngineSetLanDiscovery(EngineContext& c, int32_t on);
// Serve only: the task requests nothing, never gives up for want of data and
// keeps running after completion until stopped. Set it before TaskStart.
int32_t TaskSetServeOnly(TaskHandle task, int32_t on);
int32_t TaskSetServeOnly(EngineContext& c, TaskHandle task, int32_t on);
int32_t TaskGetServeInfo(TaskHandle task, TaskServeInfo* info);
int32_t TaskGetServeInfo(EngineContext& c, TaskHandle task, TaskServeInfo* info);

}  // namespace zl
