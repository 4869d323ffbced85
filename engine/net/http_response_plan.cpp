#include "engine/net/http_response_plan.h"

namespace zl {

HttpAction HttpActionOfStatus(int status) {
    if (status >= 200 && status <= 299) return HttpAction::kData;
    if (status >= 300 && status <= 399) return HttpAction::kRedirect;
    if (status >= 400 && status <= 499) return HttpAction::kRemoveSource;
    if (status >= 500 && status <= 599) return HttpAction::kPenalise;
    return HttpAction::kFail;
}

namespace {

HttpResponsePlan Reject(HttpResponsePlan plan, HttpAction action, std::string_view problem) {
    plan.action = action;
    plan.problem = problem;
    return plan;
}

bool KeepAlive(const HttpResponseHeader& header) {
    auto connection = header.Find("Connection");
    if (connection && HttpHeaderListHas(*connection, "close")) return false;
    if (header.version == "1.0") return connection && HttpHeaderListHas(*connection, "keep-alive");
    return true;
}

}  // namespace

HttpResponsePlan PlanHttpResponse(const HttpResponseHeader& header, const HttpRequestContext& request) {
    HttpResponsePlan plan;
    plan.action = HttpActionOfStatus(header.status);
    plan.keep_alive = KeepAlive(header);
    if (plan.action == HttpAction::kRedirect) {
        auto location = header.Find("Location");
        if (!location || location->empty()) return Reject(std::move(plan), HttpAction::kFail, "redirect without a location");
        plan.location = std::string(*location);
        return plan;
    }
    if (plan.action != HttpAction::kData) return plan;

    auto transfer_encoding = header.Find("Transfer-Encoding");
    if (transfer_encoding && !transfer_encoding->empty()) {
        // Only "chunked" (optionally after "identity") can be read; it must be the last coding.
        std::string_view codings = *transfer_encoding;
        size_t last_comma = codings.rfind(',');
        std::string_view last = last_comma == std::string_view::npos ? codings : codings.substr(last_comma + 1);
        if (HttpHeaderListHas(last, "chunked")) {
            plan.chunked = true;
        } else if (!HttpHeaderListHas(codings, "identity") || codings.find(',') != std::string_view::npos) {
            return Reject(std::move(plan), HttpAction::kPenalise, "unsupported transfer coding");
        }
        if (plan.chunked && !request.whole_content) {
            return Reject(std::move(plan), HttpAction::kPenalise, "chunked body where ranged blocks are read");
        }
    }

    std::optional<HttpContentRange> range;
    auto content_range = header.Find("Content-Range");
    auto content_length = header.Find("Content-Length");
    if (content_range) {
        range = ParseHttpContentRange(*content_range);
        plan.content_length = range ? range->total : -1;
    } else if (content_length && !plan.chunked) {
        auto length = ParseHttpContentLength(*content_length);
        if (!length) return Reject(std::move(plan), HttpAction::kFail, "invalid Content-Length");
        plan.content_length = *length;
    } else {
        plan.no_content_length = true;
    }

    if (header.status == 206) {
        if (!range || range->first < 0) return Reject(std::move(plan), HttpAction::kFail, "partial content without a byte range");
        plan.stream_offset = range->first;
        plan.body_length = plan.chunked ? -1 : range->last - range->first + 1;
    } else {
        plan.stream_offset = 0;
        plan.range_ignored = request.start_offset > 0;
        if (!plan.chunked && content_length) {
            if (auto length = ParseHttpContentLength(*content_length)) plan.body_length = *length;
        }
    }
    if (request.whole_content && plan.content_length < 0) plan.content_length = kHttpUnknownWholeLength;

    if (auto disposition = header.Find("Content-Disposition")) {
        plan.file_name = HttpContentDispositionFileName(*disposition);
    }
    return plan;
}

std::optional<int64_t> HttpStreamSkip(int64_t wanted_offset, int64_t stream_offset) {
    int64_t skip = wanted_offset - stream_offset;
    if (skip < 0 || skip > kHttpMaxSkip) return std::nullopt;
    return skip;
}

int HttpTimeoutSeconds(bool header_received, int64_t rate_bytes_per_second) {
    int limit = header_received ? 30 : 15;
    if (rate_bytes_per_second >= 1 && rate_bytes_per_second <= 2047) limit *= 2;
    return limit;
}

}  // namespace zl
