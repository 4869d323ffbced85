// A task's status record. The worker thread writes the live copy; Publish
// copies it, under the task lock, to the published copy that the interface
// queries read.
#pragma once
#include <cstdint>
#include <string>

namespace zl {

enum TaskState : int32_t {
    kTaskStateIdle = 1,          // idle, or loading the metainfo from a file
    kTaskStateFetchingMeta = 2,  // fetching the metainfo over HTTP
    kTaskStateParsingMeta = 3,   // parsing the metainfo
    kTaskStateRunning = 4,
};

struct TaskStatus {
    int32_t state = kTaskStateIdle;
    int32_t status = 0;
    std::string name;
    std::string comment;
    uint64_t total_size = 0;
    uint64_t downloaded = 0;   // verified bytes
    uint64_t wanted_size = 0;  // bytes selected for download
    uint64_t checked = 0;      // progress of the start-up check
    int32_t piece_count = 0;
    int32_t finished_pieces = 0;  // had or unwanted
    int32_t wanted_pieces = 0;
    int32_t piece_length = 0;
    int32_t memory_cache_bytes = 0;
    std::string info_hash;  // 40 lower-case hex digits
    std::string announce;
    std::string listen_address;
    uint64_t uploaded_total = 0;
    uint64_t downloaded_total = 0;
    uint64_t http_bytes = 0;  // received from HTTP/FTP sources
    uint64_t peer_bytes = 0;  // received from BitTorrent peers
    int32_t average_upload_speed = 0;
    int32_t average_download_speed = 0;
    int32_t current_speed = 0;
    int32_t time_remaining = 0;
    uint64_t completion_time = 0;  // engine clock when all pieces were first complete
    int32_t last_field = 1;
};

// downloaded x 10000 / total in integer arithmetic; 0 when total is 0.
inline int32_t ProgressUnits(uint64_t downloaded, uint64_t total) {
    if (total == 0) return 0;
    const unsigned __int128 units = static_cast<unsigned __int128>(downloaded) * 10000 / total;
    return units > INT32_MAX ? INT32_MAX : static_cast<int32_t>(units);
}

}  // namespace zl
