#include "portmap/port_forward_engine.h"

#include <pthread.h>

#include <cstdlib>
#include <string_view>
#include <memory>
#include <vector>

#include "engine/base/engine_log.h"
#include "portmap/igd_description.h"
#include "portmap/ssdp_search.h"
#include "portmap/upnp_http.h"
#include "telemetry/report_event.h"

namespace zl {
namespace {

constexpr int kPortmapLogCategory = 3;
constexpr int kPortmapLogLevel = 3;

// AddPortMapping's outcomes besides a UPnP errorCode, numbered as miniupnpc numbers them so that
// earlier logs read the same.
constexpr int kMappingOk = 0;
constexpr int kMappingNoAnswer = -3;
constexpr int kMappingNotAnAnswer = -4;

void NameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// The root descriptions of the gateways that answer an SSDP search, each on
// the host that answered.
std::vector<std::string> SearchGateways(const PortForwardSettings& settings) {
    SsdpSearchSettings search;
    search.multicast_interface = settings.multicast_interface;
    search.search_ms = settings.search_ms;
    if (!settings.ssdp_address.empty()) search.address = settings.ssdp_address;
    if (settings.ssdp_port != 0) search.port = settings.ssdp_port;
    return SearchGatewayDescriptions(search);
}

// The gateway of a root description, when its control URL lies on the host
// that served the description: a description naming another host (in URLBase
// or an absolute controlURL) would have us send our requests wherever it says.
std::optional<WanConnectionService> GatewayFromDescription(const std::string& description) {
    const std::optional<std::string> xml = UpnpHttpGet(description);
    if (!xml) return std::nullopt;
    std::optional<WanConnectionService> wan = ParseWanConnectionService(*xml, description);
    if (wan && SameUrlHost(wan->control_url, description)) return wan;
    LogWrite("IGD control URL " + (wan ? wan->control_url : std::string()) + " is not on the host of " + description +
                 "; not used",
             kPortmapLogCategory, kPortmapLogLevel);
    return std::nullopt;
}

// AddPortMapping, succeeding only on the action's own response: an error page
// or an empty reply without an errorCode is no mapping.
int AddPortMapping(const WanConnectionService& wan, const PortMappingRequest& request) {
    const std::vector<std::pair<std::string, std::string>> args = {
        {"NewRemoteHost", ""},
        {"NewExternalPort", request.external_port},
        {"NewProtocol", request.protocol},
        {"NewInternalPort", request.internal_port},
        {"NewInternalClient", request.internal_client},
        {"NewEnabled", "1"},  // IGD mappings are always enabled
        {"NewPortMappingDescription", request.description},
        {"NewLeaseDuration", "0"},  // a permanent mapping
    };
    const std::optional<std::string> reply = UpnpSoapCall(wan.control_url, wan.service_type, "AddPortMapping", args);
    if (!reply) return kMappingNoAnswer;
    int error_code = -1;
    const bool mapped = IsSoapActionResponse(*reply, "AddPortMapping", &error_code);
    if (mapped) return kMappingOk;
    return error_code > 0 ? error_code : kMappingNotAnAnswer;
}

}  // namespace

void ManualResetEvent::Set() {
    set_ = true;
    clock_.WakeSleepers();
}

bool ManualResetEvent::Wait(uint32_t ms) {
    if (set_) return true;
    clock_.SleepMsUnless(ms, [this] { return set_.load(); });
    return set_;
}

CPortForwardEngine::CPortForwardEngine(PortForwardSettings settings)
    : settings_(std::move(settings)), clock_(settings_.clock ? *settings_.clock : SystemClock()) {}

CPortForwardEngine::~CPortForwardEngine() {
    std::thread discovery, mapping;
    {
        std::lock_guard lock(mutex_);
        discovery.swap(discovery_thread_);
        mapping.swap(mapping_thread_);
    }
    if (discovery.joinable()) discovery.join();
    if (mapping.joinable()) mapping.join();
}

void CPortForwardEngine::Report(const std::string& code, const std::string& text) {
    if (settings_.report_event) settings_.report_event(code, text);
    else ReportEventText(code, text);
}

int32_t CPortForwardEngine::Cleanup() {
    std::thread discovery, mapping;
    bool was_initialised;
    {
        std::lock_guard lock(mutex_);
        if (!discovery_running_ && discovery_thread_.joinable()) discovery.swap(discovery_thread_);
        if (!mapping_running_ && mapping_thread_.joinable()) mapping.swap(mapping_thread_);
        was_initialised = initialised_;
        initialised_ = false;
        gateway_description_.clear();
    }
    if (discovery.joinable()) discovery.join();
    if (mapping.joinable()) mapping.join();
    return was_initialised ? kPortForwardOk : kPortForwardFailed;
}

int CPortForwardEngine::StartDiscovery(IPortForwardListener* listener) {
    std::thread finished;
    std::lock_guard lock(mutex_);
    if (!listener || discovery_running_) return 0;
    finished.swap(discovery_thread_);
    if (finished.joinable()) finished.join();  // it has ended: only its handle was left
    discovery_running_ = true;
    initialised_ = true;
    discovery_thread_ = std::thread([this, listener] {
        NameThread("DevInfo");
        Discover(listener);
        discovery_running_ = false;
    });
    return 1;
}

int CPortForwardEngine::StartMapping(const PortMappingRequest& request, IPortForwardListener* listener,
                                     ManualResetEvent* discovery_done) {
    std::thread finished;
    std::lock_guard lock(mutex_);
    if (!listener || !discovery_done || mapping_running_) return 0;
    finished.swap(mapping_thread_);
    if (finished.joinable()) finished.join();
    mapping_running_ = true;
    mapping_thread_ = std::thread([this, request, listener, discovery_done] {
        NameThread("AddMap");
        AddMapping(request, listener, discovery_done);
        mapping_running_ = false;
    });
    return 1;
}

DeviceInformation CPortForwardEngine::GetDeviceInformation() {
    std::lock_guard lock(mutex_);
    return device_;
}

void CPortForwardEngine::Discover(IPortForwardListener* listener) {
    listener->OnPortForwardNotification(kDiscoveryProgress, 0);
    listener->OnPortForwardNotification(kDiscoveryProgress, 1);
    const std::vector<std::string> urls =
        settings_.description_url.empty() ? SearchGateways(settings_) : std::vector<std::string>{settings_.description_url};
    listener->OnPortForwardNotification(kDiscoveryProgress, 5);

    DeviceInformation record;
    std::string found_url;
    for (const std::string& url : urls) {
        const std::optional<std::string> xml = UpnpHttpGet(url);
        std::optional<DeviceInformation> device = xml ? ParseIgdDescription(*xml, url) : std::nullopt;
        if (!device) continue;
        listener->OnPortForwardNotification(kDiscoveryProgress, 6);
        // Each later device overwrites the fields of the one before.
        const auto source = device->Fields();
        const auto target = record.Fields();
        for (size_t i = 0; i < DeviceInformation::kFieldCount; ++i) {
            *target[i] = *source[i];
            listener->OnPortForwardNotification(kDiscoveryProgress,
                                                static_cast<int32_t>(6 + 4 * (i + 1) / DeviceInformation::kFieldCount));
        }
        found_url = url;
    }
    {
        std::lock_guard lock(mutex_);
        device_ = record;
        gateway_description_ = found_url;
    }
    listener->OnPortForwardNotification(kDiscoveryFinished, found_url.empty() ? kPortForwardFailed : kPortForwardOk);
}

void CPortForwardEngine::AddMapping(PortMappingRequest request, IPortForwardListener* listener,
                                    ManualResetEvent* discovery_done) {
    if (!discovery_done->Wait(settings_.gateway_wait_ms)) {
        Report(kEventUpnpFailed, "uPnP失败，获取IGD设备超时");
        return;
    }
    listener->OnPortForwardNotification(kMappingProgress, 0);

    std::string description;
    {
        std::lock_guard lock(mutex_);
        description = gateway_description_;
    }
    if (description.empty()) description = settings_.description_url;
    std::optional<WanConnectionService> wan;
    if (!description.empty()) {
        wan = GatewayFromDescription(description);
    } else {
        // The search found nothing usable: look once more, as the gateway may have answered late.
        for (const std::string& url : SearchGateways(settings_)) {
            wan = GatewayFromDescription(url);
            if (wan) break;
        }
    }

    int32_t outcome = kPortForwardFailed;
    if (wan) {
        listener->OnPortForwardNotification(kMappingProgress, 1);
        const int result = AddPortMapping(*wan, request);
        listener->OnPortForwardNotification(kMappingProgress, 2);
        if (result == kMappingOk) outcome = kPortForwardOk;
        else
            LogWrite("AddPortMapping failed with " + std::to_string(result), kPortmapLogCategory, kPortmapLogLevel);
    }
    listener->OnPortForwardNotification(kMappingFinished, outcome);
}

}  // namespace zl
