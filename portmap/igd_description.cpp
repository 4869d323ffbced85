#include "portmap/igd_description.h"

#include <tinyxml2.h>

#include "engine/base/curl_transfer.h"

#include <cstdlib>
#include <cstring>

namespace zl {
namespace {

using tinyxml2::XMLElement;

// The element's name without a namespace prefix ("dev:device" -> "device").
const char* LocalName(const XMLElement* e) {
    const char* name = e->Name();
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

const XMLElement* Child(const XMLElement* parent, const char* name) {
    if (!parent) return nullptr;
    for (const XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement())
        if (std::strcmp(LocalName(e), name) == 0) return e;
    return nullptr;
}

std::string Text(const XMLElement* parent, const char* name) {
    const XMLElement* e = Child(parent, name);
    const char* text = e ? e->GetText() : nullptr;
    return text ? text : "";
}

int CountChildren(const XMLElement* list, const char* name) {
    int n = 0;
    if (!list) return 0;
    for (const XMLElement* e = list->FirstChildElement(); e; e = e->NextSiblingElement())
        if (std::strcmp(LocalName(e), name) == 0) ++n;
    return n;
}

std::string Counted(int n, const char* zero, const char* one, const char* many) {
    if (n == 0) return zero;
    if (n == 1) return one;
    return "Yes: " + std::to_string(n) + " " + many;
}

// Absolute URLs stay; "/path" takes the base's scheme and authority; other
// relative ones are appended to the base's folder.
std::string Resolve(const std::string& url, const std::string& base) {
    if (url.empty() || url.find("://") != std::string::npos || base.empty()) return url;
    const size_t scheme = base.find("://");
    const size_t path = scheme == std::string::npos ? std::string::npos : base.find('/', scheme + 3);
    const std::string authority = path == std::string::npos ? base : base.substr(0, path);
    if (url.front() == '/') return authority + url;
    const size_t slash = base.rfind('/');
    const std::string folder = (path == std::string::npos || slash < path) ? authority + "/" : base.substr(0, slash + 1);
    return folder + url;
}

// Depth-first; tinyxml2 bounds the nesting, so the recursion is bounded too.
const XMLElement* FindIgd(const XMLElement* device, const XMLElement** parent) {
    if (!device) return nullptr;
    // Any version: a version-2 gateway also serves version-1 clients.
    if (Text(device, "deviceType").rfind(kIgdDeviceTypePrefix, 0) == 0) return device;
    const XMLElement* list = Child(device, "deviceList");
    for (const XMLElement* c = list ? list->FirstChildElement() : nullptr; c; c = c->NextSiblingElement()) {
        if (std::strcmp(LocalName(c), "device") != 0) continue;
        if (const XMLElement* found = FindIgd(c, parent)) {
            if (found == c) *parent = device;
            return found;
        }
    }
    return nullptr;
}

bool IsWanConnection(const std::string& service_type) {
    return service_type.rfind(kWanIpConnectionPrefix, 0) == 0 || service_type.rfind(kWanPppConnectionPrefix, 0) == 0;
}

// The first WAN connection service of `device` or of the devices inside it, in
// the order the description lists them.
const XMLElement* FindWanConnection(const XMLElement* device) {
    if (!device) return nullptr;
    const XMLElement* services = Child(device, "serviceList");
    for (const XMLElement* s = services ? services->FirstChildElement() : nullptr; s; s = s->NextSiblingElement())
        if (std::strcmp(LocalName(s), "service") == 0 && IsWanConnection(Text(s, "serviceType"))) return s;
    const XMLElement* list = Child(device, "deviceList");
    for (const XMLElement* c = list ? list->FirstChildElement() : nullptr; c; c = c->NextSiblingElement())
        if (std::strcmp(LocalName(c), "device") == 0)
            if (const XMLElement* found = FindWanConnection(c)) return found;
    return nullptr;
}

// A parsed root description and its gateway device.
struct Gateway {
    tinyxml2::XMLDocument doc;
    const XMLElement* top = nullptr;     // the root device
    const XMLElement* igd = nullptr;     // the gateway (the root device or a nested one)
    const XMLElement* parent = nullptr;  // the device holding the gateway, when nested
    std::string base;                    // what relative URLs resolve against
};

bool ParseGateway(std::string_view xml, const std::string& description_url, Gateway* g) {
    if (g->doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) return false;
    const XMLElement* root = g->doc.RootElement();
    if (!root || std::strcmp(LocalName(root), "root") != 0) return false;
    g->top = Child(root, "device");
    g->igd = FindIgd(g->top, &g->parent);
    if (!g->igd) return false;
    g->base = Text(root, "URLBase");
    if (g->base.empty()) g->base = description_url;
    return true;
}

}  // namespace

std::array<std::string*, DeviceInformation::kFieldCount> DeviceInformation::Fields() {
    return {&children,      &description,    &friendly_name,     &has_children,  &icon_url,
            &is_root_device, &manufacturer_name, &manufacturer_url, &model_name,    &model_number,
            &model_url,     &parent_device,  &presentation_url,  &root_device,   &serial_number,
            &services,      &type,           &unique_device_name, &upc};
}

std::optional<DeviceInformation> ParseIgdDescription(std::string_view xml, const std::string& description_url) {
    Gateway g;
    if (!ParseGateway(xml, description_url, &g)) return std::nullopt;
    const XMLElement *top = g.top, *igd = g.igd, *parent = g.parent;
    const std::string& base = g.base;

    DeviceInformation info;
    const int children = CountChildren(Child(igd, "deviceList"), "device");
    info.children = Counted(children, "No: Zero children", "Yes: One child", "children");
    info.description = Text(igd, "modelDescription");
    info.friendly_name = Text(igd, "friendlyName");
    info.has_children = children > 0 ? "Yes" : "No";
    for (const XMLElement* icon = Child(Child(igd, "iconList"), "icon"); icon; icon = icon->NextSiblingElement()) {
        if (Text(icon, "mimetype") == "image/gif" && Text(icon, "width") == "32" && Text(icon, "height") == "32" &&
            Text(icon, "depth") == "8") {
            info.icon_url = Resolve(Text(icon, "url"), base);
            break;
        }
    }
    info.is_root_device = igd == top ? "Yes" : "No";
    info.manufacturer_name = Text(igd, "manufacturer");
    info.manufacturer_url = Text(igd, "manufacturerURL");
    info.model_name = Text(igd, "modelName");
    info.model_number = Text(igd, "modelNumber");
    info.model_url = Text(igd, "modelURL");
    info.parent_device = parent ? Text(parent, "friendlyName") : kTopmostDevice;
    info.presentation_url = Resolve(Text(igd, "presentationURL"), base);
    info.root_device = igd == top ? kTopmostDevice : Text(top, "friendlyName");
    info.serial_number = Text(igd, "serialNumber");
    info.services = Counted(CountChildren(Child(igd, "serviceList"), "service"), "No: Zero services",
                            "Yes: One service", "services");
    info.type = Text(igd, "deviceType");
    info.unique_device_name = Text(igd, "UDN");
    info.upc = Text(igd, "UPC");
    return info;
}

std::optional<WanConnectionService> ParseWanConnectionService(std::string_view xml, const std::string& description_url) {
    Gateway g;
    if (!ParseGateway(xml, description_url, &g)) return std::nullopt;
    const XMLElement* service = FindWanConnection(g.igd);
    if (!service) return std::nullopt;
    WanConnectionService wan;
    wan.service_type = Text(service, "serviceType");
    wan.control_url = Resolve(Text(service, "controlURL"), g.base);
    if (wan.control_url.empty()) return std::nullopt;
    return wan;
}

std::string UrlHost(std::string_view url) {
    const std::optional<CurlUrlAuthority> authority = CurlParseAuthority(std::string(url));
    // A user part ("host:port@other") hides where the request goes from whoever reads the URL.
    if (!authority || authority->has_user) return "";
    return authority->host;
}

bool SameUrlHost(std::string_view a, std::string_view b) {
    const std::string host = UrlHost(a);
    return !host.empty() && host == UrlHost(b);
}

bool IsSoapActionResponse(std::string_view reply, std::string_view action, int* error_code) {
    if (error_code) *error_code = -1;
    tinyxml2::XMLDocument doc;
    if (reply.empty() || doc.Parse(reply.data(), reply.size()) != tinyxml2::XML_SUCCESS) return false;
    const XMLElement* envelope = doc.RootElement();
    if (!envelope || std::strcmp(LocalName(envelope), "Envelope") != 0) return false;
    const XMLElement* body = Child(envelope, "Body");
    const XMLElement* answer = body ? body->FirstChildElement() : nullptr;
    if (!answer) return false;
    const std::string expected = std::string(action) + "Response";
    if (expected == LocalName(answer)) return true;
    if (error_code && std::strcmp(LocalName(answer), "Fault") == 0) {
        const std::string code = Text(Child(Child(answer, "detail"), "UPnPError"), "errorCode");
        char* end = nullptr;
        const long value = std::strtol(code.c_str(), &end, 10);
        if (end != code.c_str() && value >= 0 && value <= 9999) *error_code = int(value);
    }
    return false;
}

}  // namespace zl
