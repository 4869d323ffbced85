#include "telemetry/event_body.h"

#include <json/writer.h>

namespace zl {
namespace {

std::string Increase(uint64_t value, uint64_t& previous) {
    if (value == 0) return "0";
    const std::string text = value > previous ? std::to_string(value - previous) : "0";
    previous = value;
    return text;
}

bool NeedsEscaping(const std::string& value) {
    for (unsigned char c : value)
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') return true;
    return false;
}

void Member(std::string& body, const char* name, const std::string& value) {
    body += ",\"";
    body += name;
    body += "\":";
    if (!NeedsEscaping(value)) {  // the common case: plain ASCII, no allocation
        body += '"';
        body += value;
        body += '"';
    } else {
        body += Json::valueToQuotedString(value.c_str());
    }
}

}  // namespace

EventIncreases IncreaseTracker::Next(const EventValues& values) {
    EventIncreases out;
    out.time = Increase(values.total_time, time_);
    out.total_bytes = Increase(values.total_bytes, total_bytes_);
    out.http_bytes = Increase(values.http_bytes, http_bytes_);
    out.p2p_bytes = Increase(values.p2p_bytes, p2p_bytes_);
    return out;
}

std::string BuildEventBody(const UploadTexts& texts, const EventValues& v, const EventIncreases& in) {
    std::string body;
    body.reserve(700 + v.file_name.size() + v.url.size() + v.error_message.size());
    Member(body, "DVersion", kEventFormatVersion);
    Member(body, "GameID", texts.game_id);
    Member(body, "AppVersion", texts.app_version);
    Member(body, "GVersion", texts.gversion);
    Member(body, "Dchannel", texts.dchannel);
    Member(body, "Serverip", v.server_ip);
    Member(body, "Httpresult", v.http_result);
    Member(body, "Totaltime", std::to_string(v.total_time));
    Member(body, "Intime", in.time);
    Member(body, "Totalbytes", std::to_string(v.total_bytes));
    Member(body, "Intotalbytes", in.total_bytes);
    Member(body, "Averagespeed", std::to_string(v.average_speed));
    Member(body, "Progress", v.progress);
    Member(body, "Httptotalbytes", std::to_string(v.http_bytes));
    Member(body, "Inhttptotalbytes", in.http_bytes);
    Member(body, "Httpaveragespeed", std::to_string(v.http_speed));
    Member(body, "P2ptotalbytes", std::to_string(v.p2p_bytes));
    Member(body, "Inp2ptotalbytes", in.p2p_bytes);
    Member(body, "P2paveragespeed", std::to_string(v.p2p_speed));
    Member(body, "Corruptpakid", std::to_string(v.corrupt_pak_id));
    Member(body, "Filename", v.file_name);
    Member(body, "Url", v.url);
    Member(body, "Errormsg", v.error_message);
    return body;
}

}  // namespace zl
