// The HTTP side of a tracker exchange: the announce query and request, and
// the reading of the tracker's reply (status, length, body).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/net/peer_id.h"

namespace zl {

// A tracker's reply is bounded: header and body together.
inline constexpr size_t kMaxTrackerHeader = 16384;
inline constexpr size_t kMaxTrackerReply = 262144;

struct TrackerQueryFigures {
    std::string escaped_info_hash;
    PeerIdBytes peer_id{};
    int32_t port = 0;
    int64_t uploaded = 0;
    int64_t downloaded = 0;
    int64_t left = 0;
};

// The request target: the tracker path, then "?" and the tracker URL's own
// query (a passkey stays) joined by "&" with the announce parameters.
std::string BuildAnnounceTarget(std::string_view path, std::string_view url_query, const TrackerQueryFigures& f);

// "GET target HTTP/1.0", the user agent, the Host line (":port" unless 80)
// and "Connection: close". No Accept-Encoding: the body is read as sent.
std::string BuildAnnounceRequest(std::string_view target, std::string_view host, int32_t port);

enum class TrackerReplyStatus {
    kNeedMore,   // wait for more bytes (or the end of the connection)
    kComplete,   // `body` holds the whole body
    kNotOk,      // a status other than 2xx: no answer
    kMalformed,  // not HTTP, a bad length, a short body at the end, or too large
};

struct TrackerReply {
    TrackerReplyStatus status = TrackerReplyStatus::kNeedMore;
    int32_t code = 0;
    std::string_view body;  // points into the buffered text
};

// Reads what is buffered. `closed`: the tracker has closed the connection,
// which ends a body sent without Content-Length.
TrackerReply ReadTrackerReply(std::string_view buffered, bool closed);

}  // namespace zl
