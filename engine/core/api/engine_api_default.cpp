// The plain interface functions: the same operations on the default context.
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"

namespace zl {
namespace {
EngineContext& D() { return EngineContext::Default(); }
}  // namespace

int32_t EngineStartup(const char* dir) { return EngineStartup(D(), dir); }
int32_t EngineCleanup() { return EngineCleanup(D()); }
int32_t EngineSetListenPort(int32_t port) { return EngineSetListenPort(D(), port); }
int32_t EngineSetP2PSwitch(int32_t on) { return EngineSetP2PSwitch(D(), on); }
void EngineSetHttpWrap(uint8_t on) { EngineSetHttpWrap(D(), on); }
int32_t EngineSetDhtSwitch(int32_t on) { return EngineSetDhtSwitch(D(), on); }
int32_t ShowMessageBoxAsync(uintptr_t owner, const char* text, const char* caption, uint32_t style) {
    return ShowMessageBoxAsync(D(), owner, text, caption, style);
}
int32_t TaskCreate(TaskDescriptor* d) { return TaskCreate(D(), d); }
int32_t TaskCreateAndStart(TaskDescriptor* d) { return TaskCreateAndStart(D(), d); }
int32_t TaskRecover(TaskDescriptor* d, uint8_t force) { return TaskRecover(D(), d, force); }
int32_t TaskRecoverAndContinue(TaskDescriptor* d, uint8_t force) { return TaskRecoverAndContinue(D(), d, force); }
int32_t TaskStart(TaskHandle t) { return TaskStart(D(), t); }
int32_t TaskStop(TaskHandle t, int32_t reset) { return TaskStop(D(), t, reset); }
int32_t TaskStopMany(const TaskHandle* t, uint32_t n, int32_t reset, int32_t* results) {
    return TaskStopMany(D(), t, n, reset, results);
}
int32_t TaskGetProgress(TaskHandle t, TaskProgressInfo* info) { return TaskGetProgress(D(), t, info); }
int32_t TaskIsComplete(TaskHandle t, int32_t* complete) { return TaskIsComplete(D(), t, complete); }
int32_t TaskSetSpeedLimit(TaskHandle t, int32_t direction, int32_t kib) { return TaskSetSpeedLimit(D(), t, direction, kib); }
int32_t TaskSetConnectionLimits(TaskHandle t, int32_t servers, int32_t peers) {
    return TaskSetConnectionLimits(D(), t, servers, peers);
}
int32_t TaskGetBitfield(TaskHandle t, void* buffer, int32_t size) { return TaskGetBitfield(D(), t, buffer, size); }
int32_t TaskGetBitfieldSize(TaskHandle t) { return TaskGetBitfieldSize(D(), t); }
int32_t TaskClearServers(TaskHandle t) { return TaskClearServers(D(), t); }
int32_t TaskAddServers(TaskHandle t, const char* urls, const char* hosts) { return TaskAddServers(D(), t, urls, hosts); }

}  // namespace zl
