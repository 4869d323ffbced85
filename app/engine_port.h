// The engine operations the controller uses, behind an interface so that the
// controller's state walk can be tested against a scripted engine. The real
// one forwards to the flat engine interface on one engine context.
#pragma once
#include <cstdint>
#include <string>

#include "engine/core/task/task_records.h"

namespace zl {
class EngineContext;
}

namespace zl::app {

class EnginePort {
public:
    virtual ~EnginePort() = default;
    virtual void LogOpen(const std::string& log_base) = 0;
    virtual void LogClose() = 0;
    virtual int32_t Startup(const std::string& data_directory) = 0;
    virtual int32_t Cleanup() = 0;
    virtual int32_t SetListenPort(int32_t port) = 0;
    virtual int32_t SetP2PSwitch(bool on) = 0;
    virtual void SetHttpWrap(bool on) = 0;
    virtual uint64_t DiskFreeSpace(const std::string& path) = 0;
    virtual int64_t FileDiskSize(const std::string& path) = 0;

    virtual int32_t CreateAndStart(TaskDescriptor* d) = 0;
    virtual int32_t RecoverAndContinue(TaskDescriptor* d, bool force) = 0;
    virtual int32_t Start(TaskHandle t) = 0;
    virtual int32_t Stop(TaskHandle t) = 0;
    virtual int32_t StopMany(const TaskHandle* tasks, uint32_t count) = 0;
    virtual int32_t GetProgress(TaskHandle t, TaskProgressInfo* info) = 0;
    virtual int32_t IsComplete(TaskHandle t, int32_t* complete) = 0;
    virtual int32_t SetSpeedLimit(TaskHandle t, int32_t kib) = 0;
    virtual int32_t SetConnectionLimits(TaskHandle t, int32_t servers, int32_t peers) = 0;
    virtual int32_t GetBitfieldSize(TaskHandle t) = 0;
    virtual int32_t GetBitfield(TaskHandle t, void* buffer, int32_t size) = 0;
    virtual int32_t ClearServers(TaskHandle t) = 0;
    virtual int32_t AddServers(TaskHandle t, const std::string& urls, const std::string& hosts) = 0;
};

// The flat engine interface on `context` (the default context when null).
class RealEngine final : public EnginePort {
public:
    explicit RealEngine(EngineContext* context = nullptr);
    void LogOpen(const std::string& log_base) override;
    void LogClose() override;
    int32_t Startup(const std::string& data_directory) override;
    int32_t Cleanup() override;
    int32_t SetListenPort(int32_t port) override;
    int32_t SetP2PSwitch(bool on) override;
    void SetHttpWrap(bool on) override;
    uint64_t DiskFreeSpace(const std::string& path) override;
    int64_t FileDiskSize(const std::string& path) override;
    int32_t CreateAndStart(TaskDescriptor* d) override;
    int32_t RecoverAndContinue(TaskDescriptor* d, bool force) override;
    int32_t Start(TaskHandle t) override;
    int32_t Stop(TaskHandle t) override;
    int32_t StopMany(const TaskHandle* tasks, uint32_t count) override;
    int32_t GetProgress(TaskHandle t, TaskProgressInfo* info) override;
    int32_t IsComplete(TaskHandle t, int32_t* complete) override;
    int32_t SetSpeedLimit(TaskHandle t, int32_t kib) override;
    int32_t SetConnectionLimits(TaskHandle t, int32_t servers, int32_t peers) override;
    int32_t GetBitfieldSize(TaskHandle t) override;
    int32_t GetBitfield(TaskHandle t, void* buffer, int32_t size) override;
    int32_t ClearServers(TaskHandle t) override;
    int32_t AddServers(TaskHandle t, const std::string& urls, const std::string& hosts) override;

private:
    EngineContext& c_;
};

}  // namespace zl::app
