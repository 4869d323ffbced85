#include "engine/net/http_request.h"

namespace zl {
namespace {

bool HasControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

// Offset of the first "/" of the path, or npos when the URL has none.
size_t PathStart(std::string_view url) {
    size_t authority = url.find("://");
    authority = authority == std::string_view::npos ? 0 : authority + 3;
    return url.find('/', authority);
}

}  // namespace

std::string_view HttpRequestPathOf(std::string_view url) {
    size_t start = PathStart(url);
    if (start == std::string_view::npos) return "/";
    return url.substr(start);
}

std::string_view HttpRefererOf(std::string_view url) {
    size_t start = PathStart(url);
    if (start == std::string_view::npos) return url;
    return url.substr(0, url.rfind('/'));
}

std::optional<std::string> BuildHttpRequest(const HttpRequestSpec& spec) {
    std::string_view referer = spec.referer.empty() ? spec.url : spec.referer;
    if (spec.host.empty() || spec.path.empty() || spec.path.front() != '/' || spec.start_offset < 0 ||
        (spec.end_offset >= 0 && spec.end_offset < spec.start_offset) || spec.end_offset < -1 ||
        HasControlCharacter(spec.host) || HasControlCharacter(spec.path) || HasControlCharacter(referer) ||
        spec.host.find_first_of(" /") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string text;
    text.reserve(256 + spec.path.size() + referer.size());
    text.append("GET ");
    for (char c : spec.path) {
        if (c == ' ') text.append("%20");  // a blank would end the request target
        else text.push_back(c);
    }
    text.append(" HTTP/1.1\r\n");
    text.append("Host:").append(spec.host).append("\r\n");
    text.append("Accept:*/*\r\n");
    text.append("Referer: ").append(referer).append("\r\n");
    text.append("User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Zephyrloader/1.0.0\r\n");
    text.append("Connection:Keep-Alive\r\n");
    if (spec.end_offset >= 0) {
        text.append("Range: bytes=").append(std::to_string(spec.start_offset)).append("-");
        text.append(std::to_string(spec.end_offset)).append("\r\n");
    } else if (spec.start_offset > 0) {
        text.append("Range: bytes=").append(std::to_string(spec.start_offset)).append("-\r\n");
    }
    text.append("Pragma: no-cache\r\n");
    text.append("Cache-Control: no-cache\r\n");
    text.append("\r\n");
    return text;
}

}  // namespace zl
