#include "tools/zlstats/event_codes.h"

#include <map>

namespace zl::stats {

bool EndsInFailure(const std::string& code) {
    return code == "11400101" || code == "11400190" || code == "11990202" || code == "11990301" ||
           code == "11990501";
}

bool IsFailureEvent(const std::string& code) {
    return code.rfind("114", 0) == 0 || code.rfind("115", 0) == 0 || code.rfind("116", 0) == 0 ||
           code.rfind("1199", 0) == 0;
}

std::string EventName(const std::string& code) {
    static const std::map<std::string, std::string> kNames = {
        {"11010000", "download begun"},
        {"11020000", "paused"},
        {"11030000", "downloading resumed"},
        {"11040000", "exit while downloading"},
        {"11050000", "five-minute statistics"},
        {"11060000", "download completed"},
        {"11070000", "install pressed"},
        {"11080000", "file completed"},
        {"11100001", "verification accepted"},
        {"11100002", "verification declined"},
        {"11100003", "file repaired"},
        {"11100004", "all files verified"},
        {"11390000", "port mapped"},
        {"11390001", "no port mapping needed"},
        {"11400101", "engine start failed"},
        {"11400190", "resources could not be extracted"},
        {"11500101", "bad piece from a server"},
        {"11500102", "bad piece from a peer"},
        {"11500105", "port mapping failed"},
        {"11500106", "host name lookup failed"},
        {"11500201", "file MD5 mismatch"},
        {"11600101", "installer could not start"},
        {"11600102", "installer missing"},
        {"11990202", "network timed out"},
        {"11990301", "disk full"},
        {"11990501", "unexpected exit or repair gave up"},
    };
    const auto it = kNames.find(code);
    return it == kNames.end() ? std::string() : it->second;
}

}  // namespace zl::stats
