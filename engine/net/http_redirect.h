// Turns the Location of a redirect into the URL of a new source.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zl {

enum class HttpRedirectError {
    kNone,
    kEmpty,              // no location text
    kUnsupportedScheme,  // "scheme://" other than http and ftp (https included)
    kBadCharacters,      // control characters or blanks inside the location
};

struct HttpRedirectTarget {
    HttpRedirectError error = HttpRedirectError::kNone;
    std::string url;  // absolute "http://" or "ftp://" URL when error is kNone
};

// The request that was redirected.
struct HttpRedirectBase {
    std::string_view host;
    uint16_t port = 80;
    std::string_view path = "/";  // request path (query included)
};

// Any "scheme://" location is absolute: http and ftp are taken (the scheme in
// lower case), every other scheme is refused. "//host/..." keeps the scheme
// http. Other locations are relative to the base: "/x" replaces the path, "?q"
// the query, and "x" the last path segment. The port is written when it is
// not 80. A fragment is dropped.
HttpRedirectTarget ResolveHttpRedirect(std::string_view location, const HttpRedirectBase& base);

}  // namespace zl
