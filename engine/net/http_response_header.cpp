#include "engine/net/http_response_header.h"

#include <algorithm>
#include <charconv>

#include "engine/base/text.h"

namespace zl {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::optional<int64_t> ParseDecimal(std::string_view s) {
    if (s.empty() || s.size() > 19) return std::nullopt;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::string_view> HttpResponseHeader::Find(std::string_view name) const {
    for (const std::string& line : lines) {
        std::string_view rest(line);
        if (rest.size() < name.size() || !EqualsNoCase(rest.substr(0, name.size()), name)) continue;
        rest.remove_prefix(name.size());
        while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
        if (rest.empty() || rest.front() != ':') continue;
        return Trim(rest.substr(1), kHttpBlanks);
    }
    return std::nullopt;
}

void HttpHeaderReader::Reset() {
    text_.clear();
    scanned_ = 0;
    leading_blank_ = 0;
    status_ = Status::kNeedMore;
    header_ = HttpResponseHeader{};
}

HttpHeaderReader::Status HttpHeaderReader::Feed(std::string_view data, size_t& consumed) {
    consumed = 0;
    if (status_ != Status::kNeedMore) return status_;
    // Empty lines before the status line (left over from a previous body) are passed over.
    while (text_.empty() && consumed < data.size() && (data[consumed] == '\r' || data[consumed] == '\n')) {
        ++consumed;
        if (++leading_blank_ >= kMaxHeaderBytes) return status_ = Status::kTooLarge;
    }
    data.remove_prefix(consumed);
    size_t room = kMaxHeaderBytes - leading_blank_ - text_.size();
    size_t old_size = text_.size();
    text_.append(data.substr(0, std::min(room, data.size())));
    // The header ends at the first line feed followed by an empty line ("\r\n" or "\n").
    size_t end = std::string::npos;
    for (size_t i = scanned_; i < text_.size(); ++i) {
        if (text_[i] != '\n') continue;
        if (i + 1 < text_.size() && text_[i + 1] == '\n') {
            end = i + 2;
        } else if (i + 2 < text_.size() && text_[i + 1] == '\r' && text_[i + 2] == '\n') {
            end = i + 3;
        } else if (i + 2 >= text_.size()) {
            break;  // the line feed's follower has not arrived yet
        }
        if (end != std::string::npos) break;
    }
    if (end != std::string::npos) {
        consumed += end - old_size;
        text_.resize(end);
        Parse();
        return status_ = Status::kComplete;
    }
    consumed += text_.size() - old_size;
    scanned_ = text_.size() >= 2 ? text_.size() - 2 : 0;
    if (text_.size() + leading_blank_ >= kMaxHeaderBytes) return status_ = Status::kTooLarge;
    return status_;
}

void HttpHeaderReader::Parse() {
    std::string_view text(text_);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t cut = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, cut);
        if (!line.empty()) lines.emplace_back(line);
        if (cut == std::string_view::npos) break;
        text.remove_prefix(cut + ((text[cut] == '\r' && cut + 1 < text.size() && text[cut + 1] == '\n') ? 2 : 1));
    }
    if (!lines.empty()) {
        std::string_view first(lines.front());
        if (first.substr(0, 4) == "HTTP") {
            std::string_view rest = first.substr(4);
            if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
            size_t blank = rest.find(' ');
            header_.version = std::string(rest.substr(0, blank));
            rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
            while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
            size_t digits = 0;
            while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
            if (digits == 3) header_.status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
            header_.reason = std::string(Trim(rest.substr(digits), kHttpBlanks));
            lines.erase(lines.begin());
        } else if (first.find(':') == std::string_view::npos) {
            lines.erase(lines.begin());
        }
    }
    header_.lines = std::move(lines);
}

std::optional<HttpResponseHeader> ParseHttpResponseHeader(std::string_view text) {
    HttpHeaderReader reader;
    size_t consumed = 0;
    if (reader.Feed(text, consumed) != HttpHeaderReader::Status::kComplete) return std::nullopt;
    return reader.header();
}

std::optional<int64_t> ParseHttpContentLength(std::string_view value) { return ParseDecimal(Trim(value, kHttpBlanks)); }

std::optional<HttpContentRange> ParseHttpContentRange(std::string_view value) {
    value = Trim(value, kHttpBlanks);
    if (value.size() >= 5 && EqualsNoCase(value.substr(0, 5), "bytes")) {
        value.remove_prefix(5);
        if (value.empty() || !(IsBlank(value.front()) || value.front() == '=')) return std::nullopt;
        value.remove_prefix(1);
        value = Trim(value, kHttpBlanks);
    }
    size_t slash = value.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view span = Trim(value.substr(0, slash), kHttpBlanks);
    std::string_view total = Trim(value.substr(slash + 1), kHttpBlanks);
    HttpContentRange range;
    if (total != "*") {
        auto parsed = ParseDecimal(total);
        if (!parsed) return std::nullopt;
        range.total = *parsed;
    }
    if (span != "*") {
        size_t dash = span.find('-');
        if (dash == std::string_view::npos) return std::nullopt;
        auto first = ParseDecimal(Trim(span.substr(0, dash), kHttpBlanks));
        auto last = ParseDecimal(Trim(span.substr(dash + 1), kHttpBlanks));
        if (!first || !last || *first > *last) return std::nullopt;
        if (range.total >= 0 && *last >= range.total) return std::nullopt;
        range.first = *first;
        range.last = *last;
    } else if (range.total < 0) {
        return std::nullopt;
    }
    return range;
}

std::string HttpContentDispositionFileName(std::string_view value) {
    size_t at = std::string_view::npos;
    for (size_t i = 0; i + 9 <= value.size(); ++i) {
        if (EqualsNoCase(value.substr(i, 9), "filename=")) {
            at = i + 9;
            break;
        }
    }
    if (at == std::string_view::npos) return {};
    std::string_view name = value.substr(at);
    while (!name.empty() && IsBlank(name.front())) name.remove_prefix(1);
    if (!name.empty() && name.front() == '"') {
        name.remove_prefix(1);
        name = name.substr(0, name.find('"'));
    } else {
        name = Trim(name.substr(0, name.find(';')), kHttpBlanks);
    }
    size_t dir = name.find_last_of("/\\");
    if (dir != std::string_view::npos) name.remove_prefix(dir + 1);
    if (name.empty() || name == "." || name == "..") return {};
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) return {};
    }
    return std::string(name);
}

bool HttpHeaderListHas(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        if (EqualsNoCase(Trim(list.substr(0, comma), kHttpBlanks), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace zl
