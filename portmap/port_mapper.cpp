#include "portmap/port_mapper.h"

#include <arpa/inet.h>

#include <chrono>
#include <ctime>
#include <random>

#include "engine/base/engine_log.h"
#include "telemetry/report_event.h"

namespace zl {
namespace {

constexpr int kPortmapLogCategory = 3;
constexpr int kPortmapLogLevel = 3;

}  // namespace

PortMapper::PortMapper(PortMapperSettings settings, IPortForwardListener* observer)
    : settings_(std::move(settings)),
      observer_(observer),
      discovery_done_(settings_.forward.clock ? *settings_.forward.clock : SystemClock()),
      engine_(settings_.forward) {}

PortMapper::~PortMapper() = default;

void PortMapper::Report(const std::string& code, const std::string& text) {
    if (settings_.forward.report_event) settings_.forward.report_event(code, text);
    else ReportEventText(code, text);
}

uint16_t PortMapper::ChooseAndMapPort() {
    uint32_t start;
    if (settings_.start) {
        start = *settings_.start;
    } else {
        std::mt19937 random(static_cast<uint32_t>(std::time(nullptr)) ^ std::random_device{}());
        start = kFirstListenPort + random() % 10000;
    }
    auto in_use = settings_.port_in_use ? settings_.port_in_use : [](uint16_t p) { return TcpPortInUse(p); };
    const uint16_t port = WalkListenPorts(start, in_use);
    if (port == 0) {
        Report(kEventUpnpFailed, "没有可用的端口，uPnP失败");
        return 0;
    }

    const std::optional<std::string> local = settings_.local_address ? settings_.local_address : FirstLocalIPv4();
    in_addr parsed{};
    if (!local || inet_pton(AF_INET, local->c_str(), &parsed) != 1) {
        Report(kEventUpnpFailed, "无法获取本地ip，uPnP失败");
        return 0;
    }
    if (!IsPrivateHostAddress(ntohl(parsed.s_addr))) {
        Report(kEventUpnpNotNeeded, "无需uPnP：本机直通外网" + *local);
        return port;
    }

    gateway_found_ = true;
    discovery_done_.Reset();
    {
        std::lock_guard lock(done_mutex_);
        mapping_done_ = false;
    }
    engine_.Cleanup();
    if (!engine_.StartDiscovery(this)) {
        Report(kEventUpnpFailed, "IGD设备信息线程创建失败");
        return 0;
    }
    LogWrite("IGD设备信息线程已创建", kPortmapLogCategory, kPortmapLogLevel);

    PortMappingRequest request;
    request.external_port = std::to_string(port);
    request.internal_port = std::to_string(port);
    request.internal_client = *local;
    if (!engine_.StartMapping(request, this, &discovery_done_)) {
        Report(kEventUpnpFailed, "uPnP线程创建失败");
        return 0;
    }
    LogWrite("uPnP线程已创建", kPortmapLogCategory, kPortmapLogLevel);
    return port;
}

void PortMapper::MarkMappingDone() {
    {
        std::lock_guard lock(done_mutex_);
        mapping_done_ = true;
    }
    done_changed_.notify_all();
}

bool PortMapper::WaitForMapping(uint32_t ms) {
    // A mapping thread that timed out waiting for discovery ends without a notification.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(done_mutex_);
    while (!mapping_done_ && engine_.MappingRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        done_changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

void PortMapper::OnPortForwardNotification(int code, int32_t param) {
    if (code == kDiscoveryFinished) {
        if (param >= 0) {
            const DeviceInformation device = engine_.GetDeviceInformation();
            if (device.model_name.empty()) {
                gateway_found_ = false;
                LogWrite("NAT device ^Not^ found..", kPortmapLogCategory, kPortmapLogLevel);
            } else {
                gateway_found_ = true;
                LogWrite("NAT Device found : Name : <" + device.model_name + ">", kPortmapLogCategory,
                         kPortmapLogLevel);
            }
        }
    } else if (code == kMappingFinished) {
        if (param < 0) {
            Report(kEventUpnpFailed, gateway_found_ ? "IGD设备已找到，但是uPnP依然失败" : "uPnP失败，因为没有IGD设备信息");
        } else {
            LogWrite("uPnP成功", kPortmapLogCategory, kPortmapLogLevel);
            Report(kEventUpnpMapped, "");
        }
    }
    // The observer hears of a step before anyone waiting for that step goes on.
    if (observer_) observer_->OnPortForwardNotification(code, param);
    if (code == kDiscoveryFinished) discovery_done_.Set();
    if (code == kMappingFinished) MarkMappingDone();
}

}  // namespace zl
