#include "engine/net/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

namespace zl {

std::string FormatAddress(uint32_t address) {
    const auto* b = reinterpret_cast<const uint8_t*>(&address);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

bool IsDigitsAndDots(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

uint32_t ParseDottedLoose(std::string_view text) {
    if (!IsDigitsAndDots(text)) return 0;
    uint32_t value = 0;
    int component = 0;
    uint32_t current = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (component >= 4) return 0;
            value += current << (8 * (3 - component));  // wraps like the 32-bit original
            ++component;
            current = 0;
            continue;
        }
        current = current * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return htonl(value);
}

uint32_t InetAddr(std::string_view text) {
    if (text.empty() || text.size() > 63) return kNoAddress;
    const std::string copy(text);
    in_addr a{};
    if (inet_aton(copy.c_str(), &a) == 0) return kNoAddress;
    return a.s_addr;
}

bool IsPrivateAddress(uint32_t address) {
    const uint32_t h = ntohl(address);
    const uint32_t first = h >> 24;
    if (first <= 6 || first == 10 || first == 127) return true;
    if ((h & 0xFFFF0000u) == 0xC0A80000u) return true;  // 192.168/16
    if ((h & 0xFFFF0000u) == 0xA9FE0000u) return true;  // 169.254/16
    if ((h & 0xFFF00000u) == 0xAC100000u) return true;  // 172.16/12
    return false;
}

}  // namespace zl
