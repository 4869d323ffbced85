// Response bytes from a hostile HTTP server: header reader (fed in pieces),
// response plan, value parsers, redirect resolution, then the body through
// the chunked decoder and the whole-content collector.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/net/http_chunked.h"
#include "engine/net/http_redirect.h"
#include "engine/net/http_response_header.h"
#include "engine/net/http_response_plan.h"
#include "engine/net/http_whole_body.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t step = 1 + data[0] % 64;  // piece size the connection delivers
    const bool whole_content = data[1] & 1;
    const int64_t start = (data[1] & 2) ? 32768 : 0;
    std::string_view wire(reinterpret_cast<const char*>(data) + 2, size - 2);

    zl::HttpHeaderReader reader;
    size_t at = 0;
    size_t header_bytes = 0;
    while (at < wire.size() && reader.status() == zl::HttpHeaderReader::Status::kNeedMore) {
        std::string_view piece = wire.substr(at, step);
        size_t consumed = 0;
        reader.Feed(piece, consumed);
        Check(consumed <= piece.size());
        header_bytes += consumed;
        at += consumed;
        if (consumed < piece.size()) break;
    }
    Check(header_bytes <= zl::HttpHeaderReader::kMaxHeaderBytes);
    if (reader.status() != zl::HttpHeaderReader::Status::kComplete) return 0;

    const zl::HttpResponseHeader& header = reader.header();
    zl::HttpResponsePlan plan = zl::PlanHttpResponse(header, {start, whole_content});
    if (auto range = header.Find("Content-Range")) {
        if (auto parsed = zl::ParseHttpContentRange(*range)) {
            Check(parsed->first <= parsed->last);
            Check(parsed->total < 0 || parsed->last < parsed->total);
        }
    }
    if (auto disposition = header.Find("Content-Disposition")) {
        std::string name = zl::HttpContentDispositionFileName(*disposition);
        Check(name.find('/') == std::string::npos && name != "..");
    }
    if (!plan.location.empty()) {
        zl::HttpRedirectTarget target = zl::ResolveHttpRedirect(plan.location, {"h", 8080, "/a/b?c"});
        if (target.error == zl::HttpRedirectError::kNone) {
            Check(target.url.rfind("http://", 0) == 0 || target.url.rfind("ftp://", 0) == 0);
            Check(target.url.find_first_of("\r\n ") == std::string::npos);
        }
    }
    if (plan.action != zl::HttpAction::kData) return 0;
    if (plan.body_length >= 0) Check(plan.stream_offset >= 0);

    std::string_view body = wire.substr(at);
    zl::HttpChunkedDecoder chunks(1 << 20);
    std::string decoded;
    for (size_t i = 0; i < body.size() && chunks.status() == zl::HttpChunkedDecoder::Status::kNeedMore; i += step) {
        std::string_view piece = body.substr(i, step);
        size_t consumed = 0;
        chunks.Feed(piece, decoded, consumed);
        Check(consumed <= piece.size());
        Check(static_cast<int64_t>(decoded.size()) == chunks.decoded());
    }
    Check(decoded.size() <= (1u << 20));

    zl::HttpWholeBody whole(plan.content_length >= 0 ? plan.content_length : -1, plan.chunked, 1 << 20);
    size_t offset = 0;
    while (offset < body.size() && whole.status() == zl::HttpWholeBody::Status::kNeedMore) {
        size_t consumed = 0;
        whole.Feed(body.substr(offset, step), consumed);
        offset += consumed;
        if (consumed == 0) break;
    }
    whole.OnConnectionClosed();
    Check(whole.body().size() <= (1u << 20));
    return 0;
}
