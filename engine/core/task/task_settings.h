// The tunable block of a task: connection budget, cache size, seeding time,
// speed limits and switches. Out-of-range values fall back to safe defaults
// whenever a limit changes or the piece map is built.
#pragma once
#include <cstdint>

namespace zl {

struct TaskSettings {
    int32_t connection_budget = 52;      // maximum peer/source connections
    int32_t connections_per_server = 1;  // minimum simultaneous connections to one server
    int32_t memory_cache_units = 64;     // piece-map memory cache, units of 256 KiB
    int32_t seeding_hours = 12;          // hours a P2SP/BT task keeps running after completion; 0 = forever
    int32_t download_limit_kib = 0;      // KiB/s, 0 = no limit
    int32_t upload_limit_kib = 0;        // KiB/s, 0 = no limit
    bool random_start = true;            // peers start their piece choice at a random piece
    bool use_dht = true;                 // the task may look for peers in the DHT
    bool quick_check = false;            // check existing files by size and samples only
    int32_t metainfo_time_limit_s = 45;  // run time allowed before the metainfo must be loaded
    // Serve the verified pieces only: nothing is requested, a partial copy
    // never gives up for want of data, and the task runs until stopped.
    bool serve_only = false;
};

// Puts every out-of-range field back to its default (speed limits to 0, "no limit").
void NormaliseTaskSettings(TaskSettings& settings);

}  // namespace zl
