// The body of one statistics event: a run of JSON members that begins with a
// comma and has no braces, because it is appended inside the object that the
// submission builds around it. Every value is JSON-escaped, so a path or an
// error text with quotes, backslashes or line breaks keeps the JSON whole.
#pragma once
#include <cstdint>
#include <string>

namespace zl {

// The four texts the application gives once at start-up.
struct UploadTexts {
    std::string game_id;
    std::string app_version;
    std::string gversion;
    std::string dchannel;
};

// What one event call reports.
struct EventValues {
    std::string server_ip;
    std::string http_result;
    uint32_t total_time = 0;  // seconds
    uint64_t total_bytes = 0;
    uint64_t average_speed = 0;
    std::string progress;
    uint64_t http_bytes = 0;
    uint64_t http_speed = 0;
    uint64_t p2p_bytes = 0;
    uint64_t p2p_speed = 0;
    int corrupt_pak_id = 0;
    std::string file_name;
    std::string url;
    std::string error_message;
};

// The increase texts ("Intime", "Intotalbytes", "Inhttptotalbytes", "Inp2ptotalbytes").
struct EventIncreases {
    std::string time = "0";
    std::string total_bytes = "0";
    std::string http_bytes = "0";
    std::string p2p_bytes = "0";
};

// Each increase is measured against the value last reported: a zero reports
// "0" and leaves the previous value alone; a value above the previous one
// reports the difference; any other value reports "0". The previous value
// then becomes the value. Not thread-safe: its owner serialises the calls.
class IncreaseTracker {
public:
    EventIncreases Next(const EventValues& values);

private:
    uint64_t time_ = 0;
    uint64_t total_bytes_ = 0;
    uint64_t http_bytes_ = 0;
    uint64_t p2p_bytes_ = 0;
};

// The version of the event format this program writes.
inline constexpr const char* kEventFormatVersion = "1.8";

std::string BuildEventBody(const UploadTexts& texts, const EventValues& values, const EventIncreases& increases);

}  // namespace zl
