#include "app/server_config.h"

#include <tinyxml2.h>

#include <cctype>
#include <cstring>

namespace zl::app {
namespace {

using tinyxml2::XMLElement;

std::string_view Attr(const XMLElement* e, const char* name) {
    const char* v = e->Attribute(name);
    return v ? std::string_view(v) : std::string_view();
}

std::string_view TextOf(const XMLElement* e) {
    const char* t = e ? e->GetText() : nullptr;
    return t ? std::string_view(t) : std::string_view();
}

bool IsCdn(const XMLElement* e) { return std::strcmp(e->Name(), "cdn") == 0; }

bool OpenAttribute(const XMLElement* cdn) {
    bool open = false;
    return cdn->QueryBoolAttribute("open", &open) == tinyxml2::XML_SUCCESS && open;
}

}  // namespace

bool IsSafeField(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

bool IsSafeHostPort(std::string_view text) {
    if (text.empty() || text.size() > 255) return false;
    const size_t colon = text.find(':');
    const std::string_view host = text.substr(0, colon);
    if (host.empty() || host.front() == '.' || host.front() == '-') return false;
    for (unsigned char c : host)
        if (!std::isalnum(c) && c != '.' && c != '-') return false;
    if (colon == std::string_view::npos) return true;
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (unsigned char c : port) {
        if (!std::isdigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool IsWebUrl(std::string_view url) {
    if (!IsSafeField(url)) return false;
    auto starts = [&](std::string_view p) {
        if (url.size() <= p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(url[i])) != p[i]) return false;
        return true;
    };
    return starts("http://") || starts("https://");
}

ServerConfig WalkServerConfig(std::string_view xml, const PackageTable& table, const std::function<bool(int)>& skip) {
    ServerConfig out;
    try {
        tinyxml2::XMLDocument doc;
        if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) return out;
        const XMLElement* root = doc.RootElement();
        if (!root || std::strcmp(root->Name(), "project") != 0) return out;
        const XMLElement* configs = root->FirstChildElement("configs");
        if (!configs) return out;
        const XMLElement* sw = configs->FirstChildElement("p2p-switch");
        if (!sw) return out;
        out.has_switch = true;
        out.p2p = TextOf(sw) == "on";
        bool any = false;
        const XMLElement* resources = configs->FirstChildElement("resources");
        for (const XMLElement* res = resources ? resources->FirstChildElement("resource") : nullptr; res;
             res = res->NextSiblingElement("resource")) {
            if (Attr(res, "id").empty()) break;
            const std::string_view task = Attr(res, "task");
            int file = -1;
            for (int i = 0; i < kPackageFiles; ++i)
                if (table.files[size_t(i)].name == task) file = i;
            if (file < 0 || (skip && skip(file))) continue;
            for (const XMLElement* cdn = res->FirstChildElement(); cdn && IsCdn(cdn); cdn = cdn->NextSiblingElement()) {
                if (Attr(cdn, "id").empty() || Attr(cdn, "name").empty() || Attr(cdn, "middle-dir").empty() ||
                    Attr(cdn, "file-name").empty() || !OpenAttribute(cdn))
                    continue;
                const std::string_view middle = Attr(cdn, "middle-dir"), name = Attr(cdn, "file-name");
                const char* host_attr = cdn->Attribute("host-name");
                const std::string_view host = host_attr ? std::string_view(host_attr) : std::string_view("null");
                for (const XMLElement* ip = cdn->FirstChildElement("ip"); ip; ip = ip->NextSiblingElement("ip")) {
                    const std::string_view address = TextOf(ip);
                    // A line break in any part would become another source line; a
                    // path not starting with '/' would extend the host name.
                    if (!IsSafeHostPort(address) || !IsSafeField(middle) || middle.front() != '/' ||
                        !IsSafeField(name) || !IsSafeField(host)) {
                        ++out.rejected;
                        continue;
                    }
                    out.sources[size_t(file)].push_back(
                        {"http://" + std::string(address) + std::string(middle) + std::string(name), std::string(host)});
                    any = true;
                }
            }
        }
        out.result = any ? 0 : -2;
    } catch (...) {
        out = ServerConfig{};
        out.result = -3;
    }
    return out;
}

ExpiryNotice ReadExpiry(std::string_view xml) {
    ExpiryNotice n;
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) return n;
    const XMLElement* root = doc.RootElement();
    const XMLElement* configs = root ? root->FirstChildElement("configs") : nullptr;
    const XMLElement* info = configs ? configs->FirstChildElement("expire-info") : nullptr;
    if (!info) return n;
    n.expired = TextOf(info->FirstChildElement("expired")) == "true";
    n.message = std::string(TextOf(info->FirstChildElement("message")));
    n.url = std::string(TextOf(info->FirstChildElement("url")));
    return n;
}

}  // namespace zl::app
