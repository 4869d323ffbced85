// A list of blocked IPv4 address ranges, consulted before connecting to a
// candidate and when accepting a connection. Ranges come from a text file with
// lines "a.b.c.d-e.f.g.h level"; a range is kept when its level is below the
// threshold. Overlapping ranges are merged, so every stored range is disjoint
// and a lookup needs only the first range ending at or after the address.
// An engine context owns one filter; each task asks its own copy.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

namespace zl {

class CIPFilter {
public:
    static constexpr int32_t kDefaultThreshold = 127;
    // Longest line text that is parsed; longer lines are skipped whole.
    static constexpr size_t kMaxLineText = 509;

    // address in network byte order.
    bool IsBlocked(uint32_t address) const;

    // Ranges gained (never negative), or -1 when the file cannot be opened.
    int32_t LoadIpFilter(const std::string& path);
    // The same, reading from an open stream (the caller closes it).
    int32_t LoadFromStream(std::FILE* stream);

    // Adds one range (host byte order, inclusive), merging it with every stored
    // range it overlaps. False when end < start.
    bool AddRange(uint32_t start, uint32_t end);

    void ResetIpFilter();

    int32_t Threshold() const { return threshold_; }
    void SetThreshold(int32_t threshold) { threshold_ = threshold; }
    size_t RangeCount() const { return ranges_.size(); }
    // end -> start, host byte order.
    const std::map<uint32_t, uint32_t>& Ranges() const { return ranges_; }

    // Parses one line (without its line break). Returns false for comments,
    // blank and unparsable lines; otherwise fills the range and level.
    static bool ParseLine(std::string_view line, uint32_t* start, uint32_t* end, int64_t* level);

private:
    void HandleLine(std::string_view line);

    int32_t threshold_ = kDefaultThreshold;
    std::map<uint32_t, uint32_t> ranges_;
};

}  // namespace zl
