#include "portmap/port_choice.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "engine/base/hex_digit.h"

namespace zl {
namespace {

uint16_t NextPort(uint32_t port) {
    ++port;
    if (port > kLastListenPort || port < kFirstListenPort) port = kFirstListenPort;
    return static_cast<uint16_t>(port);
}

uint16_t NextAllowedPort(uint32_t port) {
    uint16_t next = NextPort(port);
    while (IsExcludedListenPort(next)) next = NextPort(next);
    return next;
}

bool BindRefused(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool refused = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
    close(fd);
    return refused;
}

}  // namespace

bool IsExcludedListenPort(uint32_t port) {
    return std::find(std::begin(kExcludedListenPorts), std::end(kExcludedListenPorts), port) !=
           std::end(kExcludedListenPorts);
}

uint16_t WalkListenPorts(uint32_t start, const std::function<bool(uint16_t)>& in_use) {
    const uint16_t first = NextAllowedPort(start);
    uint16_t candidate = first;
    do {
        if (!in_use(candidate)) return candidate;
        candidate = NextAllowedPort(candidate);
    } while (candidate != first);
    return 0;
}

std::vector<uint16_t> ParseProcNetTcpLocalPorts(std::string_view text) {
    // "  sl  local_address rem_address   st ..." then one socket a line:
    // "   0: 0100007F:1F90 00000000:0000 0A ..." (tcp6 has 32 hex digits of address).
    std::vector<uint16_t> ports;
    bool header = true;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (header) {
            header = false;
            continue;
        }
        size_t at = line.find(':');  // after the slot number
        if (at == std::string_view::npos) continue;
        line.remove_prefix(at + 1);
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        at = line.find_first_of(": ");
        if (at == std::string_view::npos || line[at] != ':') continue;
        std::string_view port_text = line.substr(at + 1, 4);
        if (port_text.size() != 4) continue;
        uint32_t port = 0;
        bool ok = true;
        for (char c : port_text) {
            const int digit = HexDigitValue(c);
            if (digit < 0) ok = false;
            port = port * 16 + static_cast<uint32_t>(digit < 0 ? 0 : digit);
        }
        if (ok) ports.push_back(static_cast<uint16_t>(port));
    }
    return ports;
}

bool TcpPortInUse(uint16_t port, const std::string& proc_root, bool bind_test) {
    std::string root = proc_root;
    if (root.empty() || root.back() != '/') root += '/';
    for (const char* table : {"proc/net/tcp", "proc/net/tcp6"}) {
        std::ifstream in(root + table, std::ios::binary);
        if (!in) continue;
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::vector<uint16_t> ports = ParseProcNetTcpLocalPorts(text);
        if (std::find(ports.begin(), ports.end(), port) != ports.end()) return true;
    }
    return bind_test && BindRefused(port);
}

bool IsPrivateHostAddress(uint32_t address) {
    const uint32_t a = address >> 24, b = (address >> 16) & 0xff;
    if (a <= 6 || a == 10 || a == 127) return true;
    if (a == 192 && b == 168) return true;
    if (a == 169 && b == 254) return true;
    return a == 172 && b >= 16 && b <= 31;
}

std::optional<std::string> FirstLocalIPv4() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> found;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        found = text;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace zl
