#include "engine/net/tracker_http.h"

#include "engine/base/text.h"

namespace zl {
namespace {

// Decimal digits only, no more than fit; false otherwise.
bool ParseLength(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 18) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

std::string BuildAnnounceTarget(std::string_view path, std::string_view url_query, const TrackerQueryFigures& f) {
    std::string target(path.empty() ? std::string_view("/") : path);
    target += '?';
    if (!url_query.empty()) {
        target += url_query;
        if (url_query.back() != '&') target += '&';
    }
    target += "info_hash=" + f.escaped_info_hash;
    const std::string_view peer_id(reinterpret_cast<const char*>(f.peer_id.data()), f.peer_id.size());
    target += "&peer_id=" + PercentEncode(peer_id, PercentKeep::kAlnum);
    target += "&port=" + std::to_string(f.port);
    target += "&uploaded=" + std::to_string(f.uploaded);
    target += "&downloaded=" + std::to_string(f.downloaded);
    target += "&left=" + std::to_string(f.left);
    target += "&event=started&key=3800&compact=1&numwant=200";
    return target;
}

std::string BuildAnnounceRequest(std::string_view target, std::string_view host, int32_t port) {
    std::string request = "GET ";
    request += target;
    request += " HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: ";
    request += host;
    if (port != 80) request += ":" + std::to_string(port);
    request += "\r\nConnection: close\r\n\r\n";
    return request;
}

TrackerReply ReadTrackerReply(std::string_view buffered, bool closed) {
    TrackerReply reply;
    const size_t crlf = buffered.find("\r\n\r\n");
    const size_t lf = buffered.find("\n\n");
    size_t header_end = std::string_view::npos;
    size_t body_start = 0;
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) {
        header_end = crlf;
        body_start = crlf + 4;
    } else if (lf != std::string_view::npos) {
        header_end = lf;
        body_start = lf + 2;
    }
    if (header_end == std::string_view::npos) {
        const bool hopeless = closed || buffered.size() > kMaxTrackerHeader;
        reply.status = hopeless ? TrackerReplyStatus::kMalformed : TrackerReplyStatus::kNeedMore;
        return reply;
    }
    if (header_end > kMaxTrackerHeader) {
        reply.status = TrackerReplyStatus::kMalformed;
        return reply;
    }

    const std::string_view header = buffered.substr(0, header_end);
    // "HTTP/1.x NNN ...": the status decides whether this is an answer at all.
    const size_t line_end = header.find('\n');
    const std::string_view status_line = header.substr(0, line_end);
    const size_t space = status_line.find(' ');
    if (!StartsWithNoCase(status_line, "HTTP/") || space == std::string_view::npos ||
        status_line.size() < space + 4) {
        reply.status = TrackerReplyStatus::kMalformed;
        return reply;
    }
    int32_t code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        const char c = status_line[i];
        if (c < '0' || c > '9') {
            reply.status = TrackerReplyStatus::kMalformed;
            return reply;
        }
        code = code * 10 + (c - '0');
    }
    reply.code = code;
    if (code < 200 || code > 299) {
        reply.status = TrackerReplyStatus::kNotOk;
        return reply;
    }

    bool has_length = false;
    uint64_t length = 0;
    size_t at = line_end == std::string_view::npos ? header.size() : line_end + 1;
    while (at < header.size()) {
        size_t end = header.find('\n', at);
        if (end == std::string_view::npos) end = header.size();
        const std::string_view line = header.substr(at, end - at);
        at = end + 1;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        // A header line keeps its CR: it is a blank here.
        const std::string_view name = Trim(line.substr(0, colon), " \t\r");
        const std::string_view value = Trim(line.substr(colon + 1), " \t\r");
        if (name.size() == 14 && StartsWithNoCase(name, "content-length")) {
            uint64_t v = 0;
            if (!ParseLength(value, &v) || (has_length && v != length)) {
                reply.status = TrackerReplyStatus::kMalformed;
                return reply;
            }
            has_length = true;
            length = v;
        } else if (name.size() == 17 && StartsWithNoCase(name, "transfer-encoding") &&
                   !StartsWithNoCase(value, "identity")) {
            // An HTTP/1.0 request gets no chunked or compressed body.
            reply.status = TrackerReplyStatus::kMalformed;
            return reply;
        }
    }

    const std::string_view rest = buffered.substr(body_start);
    if (has_length) {
        if (length > kMaxTrackerReply) {
            reply.status = TrackerReplyStatus::kMalformed;
        } else if (rest.size() >= length) {
            reply.status = TrackerReplyStatus::kComplete;
            reply.body = rest.substr(0, static_cast<size_t>(length));
        } else {
            reply.status = closed ? TrackerReplyStatus::kMalformed : TrackerReplyStatus::kNeedMore;
        }
        return reply;
    }
    // Without a length the body ends with the connection (the request asked
    // for "Connection: close").
    if (rest.size() > kMaxTrackerReply) {
        reply.status = TrackerReplyStatus::kMalformed;
    } else if (closed) {
        reply.status = TrackerReplyStatus::kComplete;
        reply.body = rest;
    }
    return reply;
}

}  // namespace zl
