#include "tools/zlfetch/get_sources.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>

namespace zlfetch {
namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The scheme before "://", lower-case; "" when there is none.
std::string SchemeOf(const std::string& url) {
    const size_t sep = url.find("://");
    return sep == std::string::npos ? std::string() : Lower(url.substr(0, sep));
}

bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    *port = std::atoi(text.c_str());
    return *port >= 1 && *port <= 65535;
}

// The authority after "scheme://" (without user info): host and port checks.
bool CheckAuthority(const std::string& url, std::string* why) {
    const size_t start = url.find("://") + 3;
    const size_t end = url.find_first_of("/?", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
    if (authority.empty()) {
        *why = "no host";
        return false;
    }
    if (authority[0] == '[') {
        *why = "IPv6 addresses are not supported";
        return false;
    }
    const size_t colon = authority.find(':');
    const std::string host = authority.substr(0, colon);
    if (host.empty()) {
        *why = "no host";
        return false;
    }
    for (char c : host) {
        if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) {
            *why = "the host contains blanks or control characters";
            return false;
        }
    }
    int port = 0;
    if (colon != std::string::npos && !ParsePort(authority.substr(colon + 1), &port)) {
        *why = "the port must be 1 to 65535";
        return false;
    }
    return true;
}

bool NoControlCharacters(const std::string& url, std::string* why) {
    for (char c : url) {
        if (std::iscntrl(static_cast<unsigned char>(c))) {
            *why = "it contains control characters";
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckSource(const std::string& url, std::string* why) {
    const std::string scheme = SchemeOf(url);
    if (scheme.empty()) {
        *why = "not a URL (http://... or ftp://...)";
        return false;
    }
    if (scheme == "https") {
        *why = "https is not supported (use http:// or ftp://)";
        return false;
    }
    if (scheme != "http" && scheme != "ftp") {
        *why = "unknown scheme \"" + scheme + "\" (use http:// or ftp://)";
        return false;
    }
    return NoControlCharacters(url, why) && CheckAuthority(url, why);
}

bool CheckTracker(const std::string& url, std::string* why) {
    const std::string scheme = SchemeOf(url);
    if (scheme == "https") {
        *why = "https trackers are not supported (use http:// or udp://)";
        return false;
    }
    if (scheme != "http" && scheme != "udp") {
        *why = scheme.empty() ? "not a URL (http://... or udp://...)"
                              : "unknown scheme \"" + scheme + "\" (use http:// or udp://)";
        return false;
    }
    return NoControlCharacters(url, why) && CheckAuthority(url, why);
}

bool ParseAddress(const std::string& text, uint32_t* address, std::string* why) {
    in_addr a{};
    if (text.find(':') != std::string::npos) {
        *why = "IPv6 addresses are not supported";
        return false;
    }
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
        *why = "not an IPv4 address (A.B.C.D)";
        return false;
    }
    *address = a.s_addr;
    return true;
}

bool ParseDhtNode(const std::string& text, std::string* source, std::string* why) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *why = "expected HOST:PORT";
        return false;
    }
    const std::string host = text.substr(0, colon);
    for (char c : host) {
        if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c)) || c == '/' ||
            c == '[') {
            *why = "not a host name or IPv4 address";
            return false;
        }
    }
    int port = 0;
    if (!ParsePort(text.substr(colon + 1), &port)) {
        *why = "the port must be 1 to 65535";
        return false;
    }
    *source = "node://" + host + ":" + std::to_string(port);
    return true;
}

bool ParsePeer(const std::string& text, std::string* source, std::string* why) {
    if (!text.empty() && text[0] == '[') {
        *why = "IPv6 addresses are not supported";
        return false;
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *why = "expected HOST:PORT";
        return false;
    }
    uint32_t address = 0;
    if (!ParseAddress(text.substr(0, colon), &address, why)) return false;
    int port = 0;
    if (!ParsePort(text.substr(colon + 1), &port)) {
        *why = "the port must be 1 to 65535";
        return false;
    }
    if (address == htonl(0x7F000001u)) {
        *why = "127.0.0.1 is this engine's own address; use another loopback address such as 127.0.0.2";
        return false;
    }
    if (address == 0 || address == 0xFFFFFFFFu) {
        *why = "not a usable address";
        return false;
    }
    *source = "btnode://" + text.substr(0, colon) + ":" + std::to_string(port);
    return true;
}

}  // namespace zlfetch
