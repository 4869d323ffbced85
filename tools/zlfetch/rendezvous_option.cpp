#include "tools/zlfetch/rendezvous_option.h"

#include <cstdlib>

#include "engine/core/api/engine_context.h"

namespace zlfetch {

bool ParseRendezvous(const std::string& text, std::string* host, int32_t* port, std::string* why) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *why = "expected HOST:PORT";
        return false;
    }
    const std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    const long value = digits.empty() ? 0 : std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value < 1 || value > 65535) {
        *why = "the port must be 1 to 65535";
        return false;
    }
    const std::string name = text.substr(0, colon);
    if (name.size() > 127 || name.find_first_of(" \t/") != std::string::npos) {
        *why = "not a host name or address";
        return false;
    }
    *host = name;
    *port = static_cast<int32_t>(value);
    return true;
}

void UseRendezvous(const std::string& host, int32_t port, int32_t udp_port) {
    zl::EngineContext::Default().SetUdpStream(!host.empty(), host, port, udp_port);
}

}  // namespace zlfetch
