#include "engine/core/peers/source_health.h"

#include "engine/base/errnum.h"

namespace zl {

void SourceHealth::NoteFailure(const std::string& source, const std::string& error) {
    if (!source.empty()) failing_[source] = error;
}

void SourceHealth::NoteSuccess(const std::string& source) { failing_.erase(source); }

std::string SourceHealth::Failing(int32_t* count) const {
    std::string text;
    for (const auto& [source, error] : failing_) text += source + "\t" + error + "\n";
    *count = static_cast<int32_t>(failing_.size());
    return text;
}

std::string DescribeFailure(int http_status, int32_t socket_error, bool timed_out, bool answered) {
    if (http_status >= 400) return "HTTP " + std::to_string(http_status);
    switch (socket_error) {
        case err::kConnRefused: return "connection refused";
        case err::kTimedOut: return "timed out";
        case err::kConnReset: return "connection reset";
        case err::kHostNotFound: return "host not found";
        case err::kNetUnreachable:
        case err::kHostUnreachable: return "unreachable";
        default: break;
    }
    if (timed_out) return "timed out";
    return answered ? "connection closed" : "no answer";
}

}  // namespace zl
