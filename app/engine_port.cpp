#include "app/engine_port.h"

#include "engine/base/engine_log.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"

namespace zl::app {

RealEngine::RealEngine(EngineContext* context) : c_(context ? *context : EngineContext::Default()) {}

void RealEngine::LogOpen(const std::string& log_base) {
    EngineLogOpen();
    WithLog([&](CZephyrloaderLog& log) { log.SetBaseName(log_base); });
}
void RealEngine::LogClose() { EngineLogClose(); }
int32_t RealEngine::Startup(const std::string& dir) { return EngineStartup(c_, dir.c_str()); }
int32_t RealEngine::Cleanup() { return EngineCleanup(c_); }
int32_t RealEngine::SetListenPort(int32_t port) { return EngineSetListenPort(c_, port); }
int32_t RealEngine::SetP2PSwitch(bool on) { return EngineSetP2PSwitch(c_, on ? 1 : 0); }
void RealEngine::SetHttpWrap(bool on) { EngineSetHttpWrap(c_, on ? 1 : 0); }
uint64_t RealEngine::DiskFreeSpace(const std::string& path) { return EngineGetDiskFreeSpace(path.c_str()); }
int64_t RealEngine::FileDiskSize(const std::string& path) { return EngineGetFileDiskSize(path.c_str()); }
int32_t RealEngine::CreateAndStart(TaskDescriptor* d) { return TaskCreateAndStart(c_, d); }
int32_t RealEngine::RecoverAndContinue(TaskDescriptor* d, bool force) {
    return TaskRecoverAndContinue(c_, d, force ? 1 : 0);
}
int32_t RealEngine::Start(TaskHandle t) { return TaskStart(c_, t); }
int32_t RealEngine::Stop(TaskHandle t) { return TaskStop(c_, t, 0); }
int32_t RealEngine::StopMany(const TaskHandle* tasks, uint32_t count) {
    return TaskStopMany(c_, tasks, count, 0, nullptr);
}
int32_t RealEngine::GetProgress(TaskHandle t, TaskProgressInfo* info) { return TaskGetProgress(c_, t, info); }
int32_t RealEngine::IsComplete(TaskHandle t, int32_t* complete) { return TaskIsComplete(c_, t, complete); }
int32_t RealEngine::SetSpeedLimit(TaskHandle t, int32_t kib) { return TaskSetSpeedLimit(c_, t, 1, kib); }
int32_t RealEngine::SetConnectionLimits(TaskHandle t, int32_t s, int32_t p) {
    return TaskSetConnectionLimits(c_, t, s, p);
}
int32_t RealEngine::GetBitfieldSize(TaskHandle t) { return TaskGetBitfieldSize(c_, t); }
int32_t RealEngine::GetBitfield(TaskHandle t, void* buffer, int32_t size) {
    return TaskGetBitfield(c_, t, buffer, size);
}
int32_t RealEngine::ClearServers(TaskHandle t) { return TaskClearServers(c_, t); }
int32_t RealEngine::AddServers(TaskHandle t, const std::string& urls, const std::string& hosts) {
    return TaskAddServers(c_, t, urls.c_str(), hosts.c_str());
}

}  // namespace zl::app
