// Collects the body of a response in memory (whole-content mode): up to the
// content length, up to the end of a chunked body, or up to the end of the
// connection when no length was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/net/http_chunked.h"
#include "engine/net/http_response_plan.h"

namespace zl {

class HttpWholeBody {
public:
    enum class Status { kNeedMore, kComplete, kError };

    // `content_length`: bytes to collect, -1 when unknown (then at most `max_bytes`).
    HttpWholeBody(int64_t content_length, bool chunked, int64_t max_bytes = kHttpUnknownWholeLength);
    // The body of a planned 2xx response: its own length (not the resource's,
    // which stands at the cap when unknown), or chunks, or up to the close.
    explicit HttpWholeBody(const HttpResponsePlan& plan, int64_t max_bytes = kHttpUnknownWholeLength)
        : HttpWholeBody(plan.chunked ? -1 : plan.body_length, plan.chunked, max_bytes) {}

    // Takes body bytes; `consumed` tells how many (bytes beyond the end of the body are left).
    Status Feed(std::string_view data, size_t& consumed);
    // The connection ended: the body is complete when it is not empty and
    // either had no length or reached it; a chunked body must have ended.
    Status OnConnectionClosed();

    Status status() const { return status_; }
    const std::string& body() const { return body_; }
    std::string TakeBody() { return std::move(body_); }
    std::string_view problem() const { return problem_; }

private:
    int64_t content_length_;
    int64_t max_bytes_;
    bool chunked_;
    HttpChunkedDecoder chunks_;
    std::string body_;
    Status status_ = Status::kNeedMore;
    std::string_view problem_;
};

}  // namespace zl
