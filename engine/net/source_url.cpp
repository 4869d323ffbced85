#include "engine/net/source_url.h"

#include <algorithm>

#include "engine/base/text.h"
#include "engine/net/address.h"
#include "engine/net/resolver.h"

namespace zl {
namespace {


// "1".."65535" only.
bool ParsePort(std::string_view text, int32_t* port) {
    if (text.empty() || text.size() > 5) return false;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (!IsValidPort(value)) return false;
    *port = value;
    return true;
}

// A host is a non-empty run of visible bytes.
bool IsHostText(std::string_view host) {
    if (host.empty()) return false;
    for (unsigned char c : host)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

// Splits "host[:port]" into host and port (default when absent).
bool SplitHostPort(std::string_view part, int32_t default_port, std::string* host, int32_t* port) {
    const size_t colon = part.find(':');
    if (colon == std::string_view::npos) {
        *port = default_port;
        *host = std::string(part);
    } else {
        if (!ParsePort(part.substr(colon + 1), port)) return false;
        *host = std::string(part.substr(0, colon));
    }
    return IsHostText(*host);
}

// The text after the last "/" unless that "/" belongs to "://".
std::string LastComponent(std::string_view text) {
    const size_t slash = text.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash >= 2 && text.substr(slash - 2, 3) == "://") return {};
    return std::string(text.substr(slash + 1));
}

bool ParseFtp(std::string_view rest, TPeerId& id, TSourceAddress& src) {
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    src.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    // User information ends at the last "@" before the path, so an "@" in the
    // path or in the user name cannot cut the host.
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        const size_t colon = userinfo.find(':');
        src.user = std::string(userinfo.substr(0, colon));
        src.password = colon == std::string_view::npos ? std::string() : std::string(userinfo.substr(colon + 1));
        authority = authority.substr(at + 1);
    } else {
        src.user = "anonymous";
        src.password = kAnonymousFtpPassword;
    }
    if (!SplitHostPort(authority, 21, &src.host, &id.port)) return false;
    id.kind = kKindFtp;
    return true;
}

bool ParseHttp(std::string_view rest, TPeerId& id, TSourceAddress& src) {
    const size_t slash = rest.find('/');
    src.http_path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    if (!SplitHostPort(rest.substr(0, slash), 80, &src.host, &id.port)) return false;
    id.kind = kKindHttp;
    return true;
}

bool ParseTracker(std::string_view url, TPeerId& id, TSourceAddress& src) {
    const size_t sep = url.find("://");
    if (sep == std::string_view::npos) return false;
    src.scheme = std::string(url.substr(0, sep));
    if (StartsWithNoCase(src.scheme, "http") || StartsWithNoCase(src.scheme, "tcp"))
        id.tracker_over_tcp = true;
    else if (StartsWithNoCase(src.scheme, "udp"))
        id.tracker_over_tcp = false;
    else
        return false;
    const std::string_view rest = url.substr(sep + 3);
    const size_t end = rest.find_first_of("/?");
    std::string path = end == std::string_view::npos ? "/" : std::string(rest.substr(end));
    if (path[0] == '?') path.insert(0, "/");
    const size_t question = path.find('?');
    if (question != std::string::npos) {
        src.query = path.substr(question + 1);
        path.resize(question);
    }
    src.path = path;
    if (!SplitHostPort(rest.substr(0, end), 80, &src.host, &id.port)) return false;
    id.kind = kKindTracker;
    return true;
}

bool ParseNode(std::string_view rest, TPeerId& id, TSourceAddress& src) {
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view dotted = rest.substr(0, colon);
    const uint32_t address = ParseDottedLoose(dotted);
    if (address == 0) return false;
    if (!ParsePort(rest.substr(colon + 1), &id.port)) return false;
    src.host = std::string(dotted);
    id.address = address;
    id.kind = kKindNode;
    return true;
}

}  // namespace

bool ParseSourceUrl(TPeerId& id, TResolver& resolver) {
    id.parsed = false;
    if (id.text.size() > kMaxSourceTextBytes) return false;
    std::string text = id.text;
    std::replace(text.begin(), text.end(), '\\', '/');
    const bool http = StartsWithNoCase(text, "http://");
    // An announce URL goes on a request line as it is written: its escapes
    // are the tracker's (decoding "%26" in a passkey would split it), and raw
    // blanks or line breaks must not reach the request.
    const bool tracker = StartsWithNoCase(text, "tracker://");
    // Text is UTF-8 throughout, so no code-page conversion is needed here.
    text = http || tracker ? PercentEncode(text, PercentKeep::kAllAboveSpaceAscii) : PercentDecode(text);

    TSourceAddress& src = id.Source();
    const std::string previous_host = src.host;
    src.host.clear();
    src.user.clear();
    src.password.clear();
    src.path.clear();
    src.http_path.clear();
    src.query.clear();
    src.scheme.clear();
    src.file_name.clear();

    const std::string_view view(text);
    bool ok = false;
    if (StartsWithNoCase(view, "ftp://"))
        ok = ParseFtp(view.substr(6), id, src);
    else if (http)
        ok = ParseHttp(view.substr(7), id, src);
    else if (StartsWithNoCase(view, "tracker://"))
        ok = ParseTracker(view.substr(10), id, src);
    else if (StartsWithNoCase(view, "btnode://"))
        ok = ParseNode(view.substr(9), id, src);
    if (!ok) return false;

    if (src.host != previous_host) src.addresses.clear();
    if (id.kind != kKindNode) {
        std::vector<uint32_t> found;
        if (resolver.ResolveHostTimed(src.host, &found) < 0) {
            id.address = kNoAddress;
            id.resolve_failed = true;
            return false;
        }
        id.resolve_failed = false;
        for (uint32_t a : found)
            if (std::find(src.addresses.begin(), src.addresses.end(), a) == src.addresses.end())
                src.addresses.push_back(a);
        if (src.addresses.empty()) {
            id.address = kNoAddress;
        } else {
            // Repeated resolutions rotate through the host's addresses.
            id.address = src.addresses.front();
            std::rotate(src.addresses.begin(), src.addresses.begin() + 1, src.addresses.end());
        }
    }
    id.parsed = true;

    if (id.kind == kKindHttp)
        src.file_name = PercentDecode(LastComponent(text));
    else if (id.kind == kKindFtp)
        src.file_name = LastComponent(text);
    return true;
}

}  // namespace zl
