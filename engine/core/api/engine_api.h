// The flat engine interface. Every function returns a signed 32-bit result
// (0 success, negative failure; engine_codes.h) unless noted. The plain forms
// work on the default engine context; each has a form that takes a context,
// for tests and for a process that runs more than one engine.
#pragma once
#include <cstdint>

#include "engine/core/api/engine_codes.h"
#include "engine/base/engine_log.h"  // EngineLogOpen, EngineLogClose
#include "engine/core/task/task_records.h"

namespace zl {

class EngineContext;

// --- engine-wide ----------------------------------------------------------
int32_t EngineStartup(const char* data_directory);
int32_t EngineCleanup();
int32_t EngineSetListenPort(int32_t port);
int32_t EngineSetP2PSwitch(int32_t on);
void EngineSetHttpWrap(uint8_t on);
// The DHT (off by default): takes effect when the first task is set up.
int32_t EngineSetDhtSwitch(int32_t on);
// Free bytes on the file system holding `path`; 0 when unknown.
uint64_t EngineGetDiskFreeSpace(const char* path);
// Bytes `path` occupies on disk; negative when unknown.
int64_t EngineGetFileDiskSize(const char* path);
// Shows a message without blocking: 1 when its thread has begun, else 0.
int32_t ShowMessageBoxAsync(uintptr_t owner, const char* text, const char* caption, uint32_t style);

// --- task creation ----------------------------------------------------------
int32_t TaskCreate(TaskDescriptor* descriptor);
int32_t TaskCreateAndStart(TaskDescriptor* descriptor);
int32_t TaskRecover(TaskDescriptor* descriptor, uint8_t force);
int32_t TaskRecoverAndContinue(TaskDescriptor* descriptor, uint8_t force);

// --- task operations (unknown handle: -106; bitfield queries: -1) ----------
int32_t TaskStart(TaskHandle task);
int32_t TaskStop(TaskHandle task, int32_t reset);
int32_t TaskStopMany(const TaskHandle* tasks, uint32_t count, int32_t reset, int32_t* results);
int32_t TaskGetProgress(TaskHandle task, TaskProgressInfo* info);
int32_t TaskIsComplete(TaskHandle task, int32_t* complete);
int32_t TaskSetSpeedLimit(TaskHandle task, int32_t direction, int32_t kib_per_second);
int32_t TaskSetConnectionLimits(TaskHandle task, int32_t servers, int32_t peers);
int32_t TaskGetBitfield(TaskHandle task, void* buffer, int32_t size);
int32_t TaskGetBitfieldSize(TaskHandle task);
int32_t TaskClearServers(TaskHandle task);
int32_t TaskAddServers(TaskHandle task, const char* urls, const char* hosts);

// --- the same on an explicit context ---------------------------------------
int32_t EngineStartup(EngineContext& c, const char* data_directory);
int32_t EngineCleanup(EngineContext& c);
int32_t EngineSetListenPort(EngineContext& c, int32_t port);
int32_t EngineSetP2PSwitch(EngineContext& c, int32_t on);
void EngineSetHttpWrap(EngineContext& c, uint8_t on);
int32_t EngineSetDhtSwitch(EngineContext& c, int32_t on);
int32_t ShowMessageBoxAsync(EngineContext& c, uintptr_t owner, const char* text, const char* caption, uint32_t style);
int32_t TaskCreate(EngineContext& c, TaskDescriptor* descriptor);
int32_t TaskCreateAndStart(EngineContext& c, TaskDescriptor* descriptor);
int32_t TaskRecover(EngineContext& c, TaskDescriptor* descriptor, uint8_t force);
int32_t TaskRecoverAndContinue(EngineContext& c, TaskDescriptor* descriptor, uint8_t force);
int32_t TaskStart(EngineContext& c, TaskHandle task);
int32_t TaskStop(EngineContext& c, TaskHandle task, int32_t reset);
int32_t TaskStopMany(EngineContext& c, const TaskHandle* tasks, uint32_t count, int32_t reset, int32_t* results);
int32_t TaskGetProgress(EngineContext& c, TaskHandle task, TaskProgressInfo* info);
int32_t TaskIsComplete(EngineContext& c, TaskHandle task, int32_t* complete);
int32_t TaskSetSpeedLimit(EngineContext& c, TaskHandle task, int32_t direction, int32_t kib_per_second);
int32_t TaskSetConnectionLimits(EngineContext& c, TaskHandle task, int32_t servers, int32_t peers);
int32_t TaskGetBitfield(EngineContext& c, TaskHandle task, void* buffer, int32_t size);
int32_t TaskGetBitfieldSize(EngineContext& c, TaskHandle task);
int32_t TaskClearServers(EngineContext& c, TaskHandle task);
int32_t TaskAddServers(EngineContext& c, TaskHandle task, const char* urls, const char* hosts);

}  // namespace zl
