// Result codes of the flat engine interface and the task status codes that
// TaskGetProgress reports. The numbers are part of the interface: the
// application compares against them.
#pragma once
#include <cstdint>

namespace zl {

// Interface results: 0 success, negative failure.
inline constexpr int32_t ENGINE_OK = 0;
inline constexpr int32_t ENGINE_E_FAILED = -1;         // bitfield queries: unknown handle or failure
inline constexpr int32_t ENGINE_E_INVALID_ARG = -101;  // null descriptor, bad speed-limit direction
inline constexpr int32_t ENGINE_E_SOCKETS = -102;      // the socket layer could not be initialised
inline constexpr int32_t ENGINE_E_DUPLICATE = -105;    // the new task duplicates a registered one
inline constexpr int32_t ENGINE_E_NO_TASK = -106;      // the handle is not registered
inline constexpr int32_t ENGINE_E_EXCEPTION = -107;    // exception, or the thread could not be started/stopped
inline constexpr int32_t ENGINE_E_NO_MEMORY = -109;    // the task object could not be allocated

// Task status codes (TaskStatus::status).
inline constexpr int32_t STATUS_PAUSED = 20202;
inline constexpr int32_t STATUS_DOWNLOADING = 20205;
inline constexpr int32_t STATUS_COMPLETE = 20206;
inline constexpr int32_t STATUS_NETWORK_ERROR = 20207;
inline constexpr int32_t STATUS_TIMED_OUT = 20209;
inline constexpr int32_t STATUS_DISK_FULL = 20210;
inline constexpr int32_t STATUS_METAINFO_FAILED = 20211;
inline constexpr int32_t STATUS_DOWNLOAD_ERROR = 20214;
inline constexpr int32_t STATUS_WRITE_FAILED = 20215;
inline constexpr int32_t STATUS_HOST_UNRESOLVED = 20216;

// Log categories (the level is passed equal to the category).
inline constexpr int kLogTaskRestart = 2;
inline constexpr int kLogEngineThreads = 22;
inline constexpr int kLogTaskLifecycle = 23;

}  // namespace zl
