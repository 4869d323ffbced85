#include "portmap/ssdp_search.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>

#include "engine/base/text.h"
#include "portmap/igd_description.h"

namespace zl {
namespace {

bool SetMulticastInterface(int fd, const std::string& interface) {
    if (interface.empty()) return true;
    in_addr address{};
    if (inet_pton(AF_INET, interface.c_str(), &address) == 1)
        return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) == 0;
    ip_mreqn request{};
    request.imr_ifindex = int(if_nametoindex(interface.c_str()));
    return request.imr_ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) == 0;
}

}  // namespace

std::optional<std::string> ParseSsdpAnswer(std::string_view answer) {
    std::optional<std::string> location;
    bool gateway = false, first = true;
    while (!answer.empty()) {
        const size_t end = answer.find('\n');
        const std::string_view line = Trim(answer.substr(0, end), " \t\r");
        answer.remove_prefix(end == std::string_view::npos ? answer.size() : end + 1);
        if (first) {
            first = false;
            const size_t space = line.find(' ');
            if (!StartsWithNoCase(line, "HTTP/1.") || space == std::string_view::npos) return std::nullopt;
            const std::string_view status = line.substr(space + 1);
            if (status.substr(0, 3) != "200" || (status.size() > 3 && status[3] != ' ')) return std::nullopt;
            continue;
        }
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = Trim(line.substr(0, colon), " \t\r"), value = Trim(line.substr(colon + 1), " \t\r");
        if (name.size() == 8 && StartsWithNoCase(name, "location")) location = std::string(value);
        if (name.size() == 2 && StartsWithNoCase(name, "st")) gateway = value.rfind(kIgdDeviceTypePrefix, 0) == 0;
    }
    if (first || !gateway || !location || !StartsWithNoCase(*location, "http://")) return std::nullopt;
    return location;
}

std::vector<std::string> SearchGatewayDescriptions(const SsdpSearchSettings& settings) {
    std::vector<std::string> urls;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(settings.port);
    if (inet_pton(AF_INET, settings.address.c_str(), &to.sin_addr) != 1) return urls;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return urls;
    const int ttl = 2;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    const int mx = std::max(1, settings.search_ms / 1000);
    const std::string search = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nST: " + std::string(kIgdDeviceType) +
                               "\r\nMAN: \"ssdp:discover\"\r\nMX: " + std::to_string(mx) + "\r\n\r\n";
    if (!SetMulticastInterface(fd, settings.multicast_interface) ||
        sendto(fd, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        close(fd);
        return urls;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, settings.search_ms));
    char buffer[2048];
    while (urls.size() < kMaxSsdpGateways) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &from_size);
        if (n < 0 || size_t(n) > sizeof buffer) continue;  // an error or an answer too long to be one
        const std::optional<std::string> location = ParseSsdpAnswer(std::string_view(buffer, size_t(n)));
        char source[INET_ADDRSTRLEN] = "";
        if (!location || !inet_ntop(AF_INET, &from.sin_addr, source, sizeof source)) continue;
        if (UrlHost(*location) != source) continue;
        if (std::find(urls.begin(), urls.end(), *location) == urls.end()) urls.push_back(*location);
    }
    close(fd);
    return urls;
}

}  // namespace zl
