// The gateway side of port mapping, on two worker threads: "DevInfo" finds the
// Internet gateway (SSDP search, or a fixed description URL) and reads its
// device record; "AddMap" waits for that search to finish and adds a static
// TCP mapping. Both report progress to a listener, from their own thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/base/clock.h"
#include "portmap/igd_description.h"

namespace zl {

// Notification codes and their parameters.
enum PortForwardNotification : int {
    kDiscoveryProgress = 17,  // 0 start, 1 finder ready, 5 searched, 6..10 reading the 19 properties
    kDiscoveryFinished = 18,  // 0 or kPortForwardFailed
    kMappingProgress = 33,    // 0 start, 1 gateway reached, 2 after the add
    kMappingFinished = 34,    // 0 or kPortForwardFailed
};
inline constexpr int32_t kPortForwardFailed = static_cast<int32_t>(0x80004005u);  // E_FAIL
inline constexpr int32_t kPortForwardOk = 0;

class IPortForwardListener {
public:
    virtual ~IPortForwardListener() = default;
    // Called on the worker thread that made the progress.
    virtual void OnPortForwardNotification(int code, int32_t param) = 0;
};

// A manual-reset event whose waits run on a Clock (so a test can time them out).
class ManualResetEvent {
public:
    explicit ManualResetEvent(Clock& clock = SystemClock()) : clock_(clock) {}
    void Set();
    void Reset() { set_ = false; }
    bool IsSet() const { return set_; }
    // True when set within `ms`.
    bool Wait(uint32_t ms);

private:
    Clock& clock_;
    std::atomic<bool> set_{false};
};

// The mapping request, seven texts in their fixed order.
struct PortMappingRequest {
    std::string unused;
    std::string external_port;
    std::string internal_port;
    std::string protocol = "TCP";
    std::string internal_client;
    std::string enabled = "Yes";
    std::string description = "Zephyrloader uPnP for P2SP upload/download";
};

struct PortForwardSettings {
    // Skips the SSDP search and reads this root description instead.
    std::string description_url;
    // Interface (address or name) the SSDP search leaves from; empty for the default.
    std::string multicast_interface;
    int search_ms = 2000;            // how long the search waits for answers
    // Where the SSDP search goes when set (tests: a responder on loopback);
    // the multicast group 239.255.255.250:1900 otherwise.
    std::string ssdp_address;
    uint16_t ssdp_port = 0;
    uint32_t gateway_wait_ms = 60000;  // the mapping thread's wait for the search
    Clock* clock = nullptr;          // SystemClock() when null
    // Reports a statistics event (code, text); telemetry's ReportEventText when empty.
    std::function<void(const std::string&, const std::string&)> report_event;
};

class CPortForwardEngine {
public:
    explicit CPortForwardEngine(PortForwardSettings settings = {});
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;
    // Waits for both threads.
    virtual ~CPortForwardEngine();

    // Joins finished threads and forgets the gateway found; kPortForwardFailed
    // when nothing was set up (no search ran since the last clean-up).
    int32_t Cleanup();
    // 1 when the thread started; 0 when it already runs or there is no listener.
    int StartDiscovery(IPortForwardListener* listener);
    int StartMapping(const PortMappingRequest& request, IPortForwardListener* listener, ManualResetEvent* discovery_done);
    bool DiscoveryRunning() const { return discovery_running_; }
    bool MappingRunning() const { return mapping_running_; }
    // A copy of the device record of the last search.
    DeviceInformation GetDeviceInformation();

private:
    void Discover(IPortForwardListener* listener);
    void AddMapping(PortMappingRequest request, IPortForwardListener* listener, ManualResetEvent* discovery_done);
    void Report(const std::string& code, const std::string& text);

    PortForwardSettings settings_;
    Clock& clock_;
    std::mutex mutex_;
    bool initialised_ = false;         // guarded by mutex_
    DeviceInformation device_;         // guarded by mutex_
    std::string gateway_description_;  // guarded by mutex_: the description URL the search found
    std::thread discovery_thread_;     // guarded by mutex_
    std::thread mapping_thread_;       // guarded by mutex_
    std::atomic<bool> discovery_running_{false};
    std::atomic<bool> mapping_running_{false};
};

}  // namespace zl
