#include "telemetry/form_poster.h"

#include <cctype>

#include "engine/base/curl_transfer.h"

namespace zl {

bool CurlFormPoster::Post(const std::string& url, const std::string& body, const PostLimits& limits,
                          std::string& answer) {
    CurlRequest request;
    request.url = url;
    request.use_proxy = true;
    request.post_body = body;
    request.connect_ms = static_cast<long>(limits.connect_ms);
    request.total_ms = static_cast<long>(limits.total_ms);
    request.max_body = kMaxAnswerBytes;
    request.overflow = CurlRequest::Overflow::kTruncate;
    request.ca_file = ca_file_;
    CurlAnswer reply = CurlTransfer(request);
    answer = std::move(reply.body);
    return reply.transferred;
}

bool AnswerAccepted(const std::string& answer) {
    static const std::string kKey = "\"error\":";
    for (size_t at = answer.find(kKey); at != std::string::npos; at = answer.find(kKey, at + 1)) {
        size_t i = at + kKey.size();
        while (i < answer.size() && (answer[i] == ' ' || answer[i] == '\t')) ++i;
        if (i < answer.size() && answer[i] == '0' &&
            (i + 1 == answer.size() || !(std::isdigit(static_cast<unsigned char>(answer[i + 1])) || answer[i + 1] == '.')))
            return true;
    }
    return false;
}

}  // namespace zl
