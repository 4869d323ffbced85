// Start-up's port step: choose the listening port, and when this host sits
// behind a gateway (private address) have CPortForwardEngine map it there.
// The notification handler keeps the "gateway found" flag, signals the end of
// discovery to the mapping thread and reports the outcome as events.
//
//   PortMapper mapper(settings);
//   uint16_t port = mapper.ChooseAndMapPort();  // 0: keep the engine's default port
//   ... hand `port` to the engine now; the mapping finishes on its own.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "portmap/port_choice.h"
#include "portmap/port_forward_engine.h"

namespace zl {

struct PortMapperSettings {
    // The walk's start; 40000 + random mod 10000 when empty.
    std::optional<uint32_t> start;
    // Whether a port is in use; /proc/net/tcp plus a bind test when empty.
    std::function<bool(uint16_t)> port_in_use;
    // This host's address (dotted); the first non-loopback IPv4 address when empty.
    std::optional<std::string> local_address;
    PortForwardSettings forward;
};

class PortMapper final : private IPortForwardListener {
public:
    // `observer`, when given, also receives every notification (after the handler).
    explicit PortMapper(PortMapperSettings settings = {}, IPortForwardListener* observer = nullptr);
    ~PortMapper() override;

    // The port for the engine, or 0 (events tell why).
    uint16_t ChooseAndMapPort();

    bool GatewayFound() const { return gateway_found_; }
    // Waits (real time) until the mapping thread has finished or given up; true when it has.
    bool WaitForMapping(uint32_t ms);
    DeviceInformation GetDeviceInformation() { return engine_.GetDeviceInformation(); }

private:
    void OnPortForwardNotification(int code, int32_t param) override;
    void Report(const std::string& code, const std::string& text);
    void MarkMappingDone();

    PortMapperSettings settings_;
    IPortForwardListener* observer_;
    ManualResetEvent discovery_done_;
    std::atomic<bool> gateway_found_{false};
    std::mutex done_mutex_;
    std::condition_variable done_changed_;
    bool mapping_done_ = false;  // guarded by done_mutex_
    CPortForwardEngine engine_;  // last: its threads end before the members they use
};

}  // namespace zl
