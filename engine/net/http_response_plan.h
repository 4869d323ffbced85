// What an HTTP source does with a parsed response header: the action its
// status calls for, and for a usable 2xx answer where the body sits in the
// file, how long the resource is and how the body is framed.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/net/http_response_header.h"

namespace zl {

enum class HttpAction {
    kData,          // 2xx: read the body
    kRedirect,      // 3xx: follow `location`
    kRemoveSource,  // 4xx: close and drop the source from the candidates
    kPenalise,      // 5xx, or a body this mode cannot read: close and rest the source 60 passes
    kFail,          // anything else: end this peer
};

// The action of a status code alone.
HttpAction HttpActionOfStatus(int status);

struct HttpRequestContext {
    int64_t start_offset = 0;   // the start sent in "Range" (0: no Range line)
    bool whole_content = false; // the body is collected in memory
};

struct HttpResponsePlan {
    HttpAction action = HttpAction::kFail;
    std::string_view problem;    // why a response is not usable; empty when it is
    int64_t stream_offset = 0;   // file offset of the first body byte
    int64_t content_length = -1; // size of the whole resource, -1 unknown
    bool no_content_length = false;  // neither Content-Range nor Content-Length was sent
    bool chunked = false;        // the body is in chunked transfer coding
    int64_t body_length = -1;    // bytes of body in this response, -1 until the connection or chunking ends
    bool keep_alive = true;      // the connection may carry the next request
    bool range_ignored = false;  // a ranged request was answered with the whole resource
    std::string file_name;       // from Content-Disposition; empty when none
    std::string location;        // the Location value of a redirect
};

// Whole-content mode collects at most this many bytes when no length is given.
constexpr int64_t kHttpUnknownWholeLength = 2147483647;

// Plans the handling of a complete response header.
// A 2xx other than 206 carries the resource from byte 0, whatever was asked
// for, so its stream offset is 0; a 206 starts where its Content-Range says.
HttpResponsePlan PlanHttpResponse(const HttpResponseHeader& header, const HttpRequestContext& request);

// The current response keeps serving a run of blocks when the wanted offset
// is at most this far ahead of the stream; otherwise the peer asks anew.
constexpr int64_t kHttpMaxSkip = 131072;

// Bytes to discard before `wanted_offset`, or nullopt when the stream is past
// it or too far before it and a new request must be made.
std::optional<int64_t> HttpStreamSkip(int64_t wanted_offset, int64_t stream_offset);

// Seconds without progress before a peer gives up: 15 before the header,
// 30 after it, doubled while the measured rate is 1 to 2047 bytes/s.
int HttpTimeoutSeconds(bool header_received, int64_t rate_bytes_per_second);

}  // namespace zl
