// One statistics event as a client posts it: the event code and the members
// of its "info" object that the service counts, with the info text itself.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zl::stats {

struct StatEvent {
    std::string code;  // 8 digits
    // Identity: the machine, the uploader's session ("" from today's clients)
    // and the uploader's running count of submitted events.
    std::string mach_id, session_id;
    uint64_t sequence = 0;
    std::string mac, os, game_id, dversion, app_version, gversion, dchannel;
    // Download statistics: totals of the session, the increases since the
    // previous event of the same process ("In..."), averages in bytes/s.
    uint64_t total_time = 0, total_bytes = 0, average_speed = 0;
    uint64_t http_bytes = 0, p2p_bytes = 0, in_http_bytes = 0, in_p2p_bytes = 0;
    std::string progress, error_msg, file_name;
    // Inventory, when the event carries it ("" otherwise).
    std::string memory_total, cpu_arch;
    std::string info;  // the info text exactly as posted
};

// A post that passed validation: its events in order.
using StatBatch = std::vector<StatEvent>;

}  // namespace zl::stats
