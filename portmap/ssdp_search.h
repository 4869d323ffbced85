// The SSDP search for Internet gateways. Each answer's LOCATION is taken only
// when it lies on the host the answer came from: a device on the network may
// not send us to fetch descriptions (and then send our requests) elsewhere.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

struct SsdpSearchSettings {
    // Interface (IPv4 address or name) the search leaves from; empty for the default.
    std::string multicast_interface;
    int search_ms = 2000;
    std::string address = "239.255.255.250";  // where the search goes (a unicast address in tests)
    uint16_t port = 1900;
};

// The LOCATION of an answer to our search for a gateway ("HTTP/1.1 200", an
// InternetGatewayDevice ST); nullopt for anything else.
std::optional<std::string> ParseSsdpAnswer(std::string_view answer);

// The root description URLs of the gateways that answered, each on the
// answering host, without repeats and at most kMaxSsdpGateways of them.
inline constexpr size_t kMaxSsdpGateways = 16;
std::vector<std::string> SearchGatewayDescriptions(const SsdpSearchSettings& settings);

}  // namespace zl
