// The device information record of an Internet gateway: nineteen texts read
// from the gateway's root description (UPnP Device Architecture XML).
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

// The host an http:// URL connects to, lower-cased: the text after "://" up to
// the first ':' or '/' (an IPv6 literal keeps its brackets). Empty when there
// is none, when it holds characters no host name has ('@', '?', '#', '\\',
// blanks), or when the authority carries a user part ('@' before the path).
std::string UrlHost(std::string_view url);
// Whether both URLs name the same, non-empty host (the ports may differ).
bool SameUrlHost(std::string_view a, std::string_view b);

// Whether a SOAP reply is the answer `action` + "Response" in the envelope's
// body. A fault, an error page or an empty or truncated reply is not, and sets
// `*error_code` to the UPnP errorCode when the reply names one (else -1).
bool IsSoapActionResponse(std::string_view reply, std::string_view action, int* error_code = nullptr);

}  // namespace zl
