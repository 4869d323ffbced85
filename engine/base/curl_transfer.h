// One HTTP(S) exchange through libcurl, the way every part of the program
// that talks HTTP on its own (the configuration fetch, the statistics posts,
// the gateway's descriptions and SOAP actions) needs it: libcurl initialised
// once per process, no signals, time limits, a bounded body, the protocols
// the caller allows, and certificates checked against the system's store or a
// CA file the caller names.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zl {

struct CurlRequest {
    std::string url;
    std::string protocols = "http,https";  // for the request and any redirect
    long max_redirects = 0;                // 0: a redirect is not followed
    bool use_proxy = false;                // whether the environment's proxy settings apply
    std::optional<std::string> post_body;  // a POST of this body; a GET without it
    std::vector<std::string> headers;      // extra header lines ("Name: value")
    long connect_ms = 0;                   // 0: libcurl's default
    long total_ms = 0;                     // 0: no limit
    size_t max_body = 64 * 1024;
    // A longer body fails the transfer, or is cut at max_body while the rest is read and dropped.
    enum class Overflow { kFail, kTruncate } overflow = Overflow::kFail;
    // Certificates (PEM) to trust instead of the system's store; empty: the store.
    // Certificate and host name checks are always on.
    std::string ca_file;
};

struct CurlAnswer {
    bool transferred = false;          // the exchange completed (whatever its status)
    long status = 0;                   // the HTTP status, 0 when none arrived
    std::string body;
    std::string error;                 // libcurl's reason when not transferred
    bool certificate_refused = false;  // the server's certificate did not verify (issuer or host name)
    bool too_long = false;             // the body passed max_body
};

CurlAnswer CurlTransfer(const CurlRequest& request);

// The authority of a URL as libcurl reads it when it connects, so that a check
// of the host and the transfer cannot disagree about it.
struct CurlUrlAuthority {
    std::string host;       // lower-cased; an IPv6 literal keeps its brackets
    bool has_user = false;  // a user (or password) part came before the host
};
// nullopt when libcurl cannot parse `url` (a relative one included).
std::optional<CurlUrlAuthority> CurlParseAuthority(const std::string& url);

}  // namespace zl
