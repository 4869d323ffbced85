// The GET request an HTTP source sends: fixed header lines, an open-ended
// byte range when the transfer does not start at byte 0.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

struct HttpRequestSpec {
    std::string_view host;     // host name only; the port is never sent
    std::string_view path;     // from the first "/" after the host, query included
    std::string_view referer;  // empty: the URL itself is sent as referer
    std::string_view url;      // the source's normalised URL text
    int64_t start_offset = 0;  // above 0 adds "Range: bytes=<start>-"
    // At or above start_offset: the range ends there, "Range: bytes=<start>-<end>"
    // (the end byte included); -1: open-ended.
    int64_t end_offset = -1;
};

// The complete request text, lines ending in "\r\n" and closed by an empty
// line. Empty when a field would break the request (CR, LF or another control
// character, a path not starting with "/", a negative offset, an end before
// the start): such text must
// never reach a server.
std::optional<std::string> BuildHttpRequest(const HttpRequestSpec& spec);

// The request path of a URL: the text after "scheme://" from the first "/"
// on (query included), or "/" when the URL names only a host.
std::string_view HttpRequestPathOf(std::string_view url);

// The referer sent for a URL: the text up to (not including) its last "/".
// A URL without a path is its own referer.
std::string_view HttpRefererOf(std::string_view url);

}  // namespace zl
