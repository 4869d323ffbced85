#include "engine/core/peers/ip_filter.h"

#include <arpa/inet.h>

#include <algorithm>

namespace zl {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Four decimal octets separated by dots, each at most 255 (an octet above 255
// would otherwise wrap into a different address).
bool ParseDotted(std::string_view text, uint32_t* out) {
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        uint32_t octet = 0;
        size_t digits = 0;
        while (pos < text.size() && IsDigit(text[pos])) {
            octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
            if (octet > 255) return false;
            ++pos;
            ++digits;
        }
        if (digits == 0) return false;
        value = (value << 8) | octet;
    }
    if (pos != text.size()) return false;
    *out = value;
    return true;
}

}  // namespace

bool CIPFilter::ParseLine(std::string_view line, uint32_t* start, uint32_t* end, int64_t* level) {
    size_t pos = 0;
    while (pos < line.size() && static_cast<unsigned char>(line[pos]) >= 1 &&
           static_cast<unsigned char>(line[pos]) <= 32)
        ++pos;
    line.remove_prefix(pos);
    if (line.empty() || !IsDigit(line[0])) return false;
    const size_t space = line.find(' ');
    const size_t dash = line.find('-');
    if (dash == std::string_view::npos || space == std::string_view::npos || dash > space) return false;
    if (!ParseDotted(line.substr(0, dash), start)) return false;
    if (!ParseDotted(line.substr(dash + 1, space - dash - 1), end)) return false;
    std::string_view rest = line.substr(space + 1);
    size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    bool negative = false;
    if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) negative = rest[i++] == '-';
    if (i >= rest.size() || !IsDigit(rest[i])) return false;
    int64_t value = 0;
    while (i < rest.size() && IsDigit(rest[i])) {
        value = std::min<int64_t>(value * 10 + (rest[i] - '0'), INT64_C(1) << 40);
        ++i;
    }
    *level = negative ? -value : value;
    return true;
}

bool CIPFilter::IsBlocked(uint32_t address) const {
    if (ranges_.empty()) return false;
    const uint32_t host = ntohl(address);
    auto it = ranges_.lower_bound(host);
    return it != ranges_.end() && host >= it->second;
}

bool CIPFilter::AddRange(uint32_t start, uint32_t end) {
    if (end < start) return false;
    // Every stored range with end >= start and start <= end overlaps the new
    // one; they are ordered by end, so they form one run from lower_bound(start).
    auto it = ranges_.lower_bound(start);
    while (it != ranges_.end() && it->second <= end) {
        start = std::min(start, it->second);
        end = std::max(end, it->first);
        it = ranges_.erase(it);
    }
    ranges_[end] = start;
    return true;
}

void CIPFilter::HandleLine(std::string_view line) {
    if (line.empty() || line[0] == '#') return;
    uint32_t start = 0, end = 0;
    int64_t level = 0;
    if (!ParseLine(line, &start, &end, &level)) return;
    if (level >= threshold_) return;
    AddRange(start, end);
}

int32_t CIPFilter::LoadFromStream(std::FILE* stream) {
    const size_t before = ranges_.size();
    // Lines are gathered up to kMaxLineText bytes; the rest of a longer line is
    // read and thrown away so it never counts as a line of its own.
    std::string line;
    bool too_long = false;
    for (;;) {
        const int c = getc_unlocked(stream);
        if (c == EOF || c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!too_long && line.size() <= kMaxLineText) HandleLine(line);
            line.clear();
            too_long = false;
            if (c == EOF) break;
            continue;
        }
        if (too_long) continue;
        if (line.size() > kMaxLineText + 1) {  // room for a trailing '\r'
            too_long = true;
            continue;
        }
        line.push_back(static_cast<char>(c));
    }
    const size_t after = ranges_.size();
    return after > before ? static_cast<int32_t>(std::min<size_t>(after - before, INT32_MAX)) : 0;
}

int32_t CIPFilter::LoadIpFilter(const std::string& path) {
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (!stream) return -1;
    const int32_t gained = LoadFromStream(stream);
    std::fclose(stream);
    return gained;
}

void CIPFilter::ResetIpFilter() {
    threshold_ = kDefaultThreshold;
    ranges_.clear();
}

}  // namespace zl
