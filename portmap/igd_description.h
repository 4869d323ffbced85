// What the program reads from an Internet gateway's root description (UPnP
// Device Architecture XML): the device information record of nineteen texts
// and the WAN connection service that takes the port mappings.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

struct DeviceInformation {
    std::string children;            // "No: Zero children", "Yes: One child", "Yes: %d children"
    std::string description;
    std::string friendly_name;
    std::string has_children;        // "Yes" or "No"
    std::string icon_url;            // the 32x32, depth 8 "image/gif" icon
    std::string is_root_device;      // "Yes" or "No"
    std::string manufacturer_name;
    std::string manufacturer_url;
    std::string model_name;
    std::string model_number;
    std::string model_url;
    std::string parent_device;       // parent's FriendlyName or "This is a topmost device"
    std::string presentation_url;
    std::string root_device;         // root's FriendlyName or "This is a topmost device"
    std::string serial_number;
    std::string services;            // "No: Zero services", "Yes: One service", "Yes: %d services"
    std::string type;
    std::string unique_device_name;
    std::string upc;

    static constexpr size_t kFieldCount = 19;
    // The fields in their fixed order.
    std::array<std::string*, kFieldCount> Fields();
};

inline constexpr const char* kIgdDeviceType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
inline constexpr const char* kIgdDeviceTypePrefix = "urn:schemas-upnp-org:device:InternetGatewayDevice:";
inline constexpr const char* kTopmostDevice = "This is a topmost device";

// The record of the first InternetGatewayDevice (any version) in `xml` (the root device or a
// nested one); relative URLs are resolved against URLBase or `description_url`.
// nullopt when the text is not a device description or holds no gateway.
std::optional<DeviceInformation> ParseIgdDescription(std::string_view xml, const std::string& description_url);

// The WAN connection service of a gateway: the one its port mappings are asked of.
struct WanConnectionService {
    std::string service_type;  // a WANIPConnection or WANPPPConnection type, any version
    std::string control_url;   // absolute
};
inline constexpr const char* kWanIpConnectionPrefix = "urn:schemas-upnp-org:service:WANIPConnection:";
inline constexpr const char* kWanPppConnectionPrefix = "urn:schemas-upnp-org:service:WANPPPConnection:";

// The first WAN connection service of the gateway in `xml` (in the gateway
// device or the devices inside it, in their order), its control URL resolved
// like the record's URLs; nullopt when there is none.
std::optional<WanConnectionService> ParseWanConnectionService(std::string_view xml, const std::string& description_url);

// The host a URL connects to, as libcurl (which makes the requests) parses it,
// lower-cased (an IPv6 literal keeps its brackets). Empty when libcurl cannot
// parse the URL or when the authority carries a user part.
std::string UrlHost(std::string_view url);
// Whether both URLs name the same, non-empty host (the ports may differ).
bool SameUrlHost(std::string_view a, std::string_view b);

// Whether a SOAP reply is the answer `action` + "Response" in the envelope's
// body. A fault, an error page or an empty or truncated reply is not, and sets
// `*error_code` to the UPnP errorCode when the reply names one (else -1).
bool IsSoapActionResponse(std::string_view reply, std::string_view action, int* error_code = nullptr);

}  // namespace zl
