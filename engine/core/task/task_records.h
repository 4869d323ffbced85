// The records that cross the flat engine interface: the caller fills a
// TaskDescriptor for TaskCreate/TaskRecover, the engine fills a
// TaskProgressInfo for TaskGetProgress.
#pragma once
#include <cstdint>

namespace zl {

// Opaque: the address of the task object. Valid while the task is registered.
using TaskHandle = void*;

inline constexpr uint32_t kTaskFlagFullPath = 0x2;        // target is the full path of the file
inline constexpr uint32_t kTaskFlagQuickCheck = 0x20;     // check existing files by size and samples
inline constexpr uint32_t kTaskFlagBt = 0x10000;          // first source line is the metainfo location
inline constexpr uint32_t kTaskFlagP2sp = 0x1000000;      // metainfo location field, servers from the sources

inline constexpr int kTaskTextSize = 4096;

struct TaskDescriptor {
    int32_t application_field = 0;           // the application's own; not read by the engine
    char metainfo_location[kTaskTextSize] = {};  // "file://" URL of the .torrent (P2SP)
    const char* source_list = nullptr;        // source URLs, one per line (CR, LF or CR LF)
    char target[kTaskTextSize] = {};          // save directory, or the file's full path with kTaskFlagFullPath
    char resume_path[kTaskTextSize] = {};     // the task's resume-info file
    uint32_t flags = 0;
    TaskHandle handle = nullptr;              // out: the new task
};

struct TaskProgressInfo {
    char name[kTaskTextSize];
    int32_t progress;        // 1/10000 units
    int32_t status;          // task status code
    int32_t speed;           // bytes per second
    int32_t time_remaining;  // seconds
    uint32_t total_kib;      // total size / 1024
    uint64_t http_bytes;
    uint64_t peer_bytes;
    uint64_t downloaded;
};

}  // namespace zl
