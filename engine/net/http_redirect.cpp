#include "engine/net/http_redirect.h"

namespace zl {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of a leading "scheme" followed by "://", or 0.
size_t SchemeLength(std::string_view text) {
    if (text.empty() || !IsAlpha(text.front())) return 0;
    size_t i = 1;
    while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) ++i;
    return text.substr(i, 3) == "://" ? i : 0;
}

std::string Origin(const HttpRedirectBase& base) {
    std::string origin = "http://";
    origin.append(base.host);
    if (base.port != 80) origin.append(":").append(std::to_string(base.port));
    return origin;
}

}  // namespace

HttpRedirectTarget ResolveHttpRedirect(std::string_view location, const HttpRedirectBase& base) {
    HttpRedirectTarget target;
    while (!location.empty() && (location.front() == ' ' || location.front() == '\t')) location.remove_prefix(1);
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t')) location.remove_suffix(1);
    location = location.substr(0, location.find('#'));
    if (location.empty()) {
        target.error = HttpRedirectError::kEmpty;
        return target;
    }
    for (unsigned char c : location) {
        if (c <= 0x20 || c == 0x7f) {
            target.error = HttpRedirectError::kBadCharacters;
            return target;
        }
    }
    if (size_t scheme = SchemeLength(location)) {
        std::string name;
        for (char c : location.substr(0, scheme)) name.push_back(Lower(c));
        if (name != "http" && name != "ftp") {
            target.error = HttpRedirectError::kUnsupportedScheme;
            return target;
        }
        target.url = name;
        target.url.append(location.substr(scheme));
        return target;
    }
    if (location.substr(0, 2) == "//") {
        target.url = "http:";
        target.url.append(location);
        return target;
    }
    std::string_view base_path = base.path.empty() || base.path.front() != '/' ? std::string_view("/") : base.path;
    std::string_view base_no_query = base_path.substr(0, base_path.find('?'));
    target.url = Origin(base);
    if (location.front() == '/') {
        target.url.append(location);
    } else if (location.front() == '?') {
        target.url.append(base_no_query).append(location);
    } else {
        target.url.append(base_no_query.substr(0, base_no_query.rfind('/') + 1)).append(location);
    }
    return target;
}

}  // namespace zl
