#include "engine/core/peers/ip_filter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

namespace zl {
namespace {

uint32_t Net(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a.s_addr;
}
uint32_t Host(const char* dotted) { return ntohl(Net(dotted)); }

int32_t LoadText(CIPFilter& filter, const std::string& text) {
    std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (text.empty()) f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    const int32_t n = filter.LoadFromStream(f);
    std::fclose(f);
    return n;
}

TEST(IpFilter, EmptyFilterBlocksNothing) {
    CIPFilter filter;
    EXPECT_FALSE(filter.IsBlocked(Net("1.2.3.4")));
    EXPECT_FALSE(filter.IsBlocked(0));
    EXPECT_EQ(LoadText(filter, ""), 0);
}

TEST(IpFilter, LevelDecidesAndBoundsAreInclusive) {
    CIPFilter low;
    EXPECT_EQ(LoadText(low, "1.2.3.0-1.2.3.255 100\n"), 1);
    EXPECT_TRUE(low.IsBlocked(Net("1.2.3.77")));
    EXPECT_TRUE(low.IsBlocked(Net("1.2.3.0")));
    EXPECT_TRUE(low.IsBlocked(Net("1.2.3.255")));
    EXPECT_FALSE(low.IsBlocked(Net("1.2.2.255")));
    EXPECT_FALSE(low.IsBlocked(Net("1.2.4.0")));

    CIPFilter high;
    EXPECT_EQ(LoadText(high, "1.2.3.0-1.2.3.255 200\n"), 0);
    EXPECT_FALSE(high.IsBlocked(Net("1.2.3.77")));

    CIPFilter at_threshold;
    EXPECT_EQ(LoadText(at_threshold, "1.2.3.0-1.2.3.255 127\n"), 0);
}

TEST(IpFilter, LineFormsAcceptedAndSkipped) {
    struct Case {
        const char* line;
        bool kept;
    } cases[] = {
        {"1.2.3.0-1.2.3.255 100", true},
        {" \t1.2.3.0-1.2.3.255 0", true},           // leading blanks and control bytes are skipped
        {"1.2.3.0-1.2.3.255 100\r", true},          // CRLF files
        {"1.2.3.0-1.2.3.255 -5", true},
        {"1.2.3.0 - 1.2.3.255 100", false},         // space before the dash
        {"#1.2.3.0-1.2.3.255 100", false},
        {"1.2.3.0-1.2.3.255", false},               // no level
        {"1.2.3.0-1.2.3.255 abc", false},
        {"1.2.3.9-1.2.3.0 100", false},             // end below start
        {"300.2.3.0-1.2.3.255 100", false},         // octet above 255 does not wrap
        {"1.2.3.0-1.2.3.256 100", false},
        {"1.2.3-1.2.3.255 100", false},
        {"1.2.3.0.1-1.2.3.255 100", false},
        {"a1.2.3.0-1.2.3.255 100", false},
        {"", false},
    };
    for (const Case& c : cases) {
        CIPFilter filter;
        EXPECT_EQ(LoadText(filter, std::string(c.line) + "\n"), c.kept ? 1 : 0) << c.line;
    }
}

TEST(IpFilter, OverLongLineIsSkippedWholeAndLoadingGoesOn) {
    CIPFilter filter;
    // The tail of the long line looks like a valid range; it must not be parsed.
    std::string text = "5.5.5.5-5.5.5.6 1" + std::string(600, ' ') + "\n";
    text.replace(520, 17, "9.9.9.0-9.9.9.9 1");
    text += "1.1.1.1-1.1.1.1 1\n";
    EXPECT_EQ(LoadText(filter, text), 1);
    EXPECT_TRUE(filter.IsBlocked(Net("1.1.1.1")));
    EXPECT_FALSE(filter.IsBlocked(Net("9.9.9.5")));
    EXPECT_FALSE(filter.IsBlocked(Net("5.5.5.5")));

    // A line of exactly 509 bytes is still read.
    CIPFilter edge;
    std::string line = "7.7.7.0-7.7.7.9 1";
    line.resize(CIPFilter::kMaxLineText, ' ');
    EXPECT_EQ(LoadText(edge, line + "\n"), 1);
}

TEST(IpFilter, LastLineWithoutLineBreakAndMissingFile) {
    CIPFilter filter;
    EXPECT_EQ(LoadText(filter, "# list\n\n8.8.8.0-8.8.8.8 3"), 1);
    EXPECT_TRUE(filter.IsBlocked(Net("8.8.8.8")));
    EXPECT_EQ(filter.LoadIpFilter("/nonexistent/zl-ipfilter.txt"), -1);
}

// Merged ranges are disjoint: an address inside any loaded range is blocked,
// whatever order the ranges arrive in.
TEST(IpFilter, OverlappingRangesMergeInAnyOrder) {
    struct R {
        const char* a;
        const char* b;
    };
    const std::vector<R> ranges = {
        {"10.0.0.10", "10.0.0.20"}, {"10.0.0.30", "10.0.0.40"}, {"10.0.0.5", "10.0.0.50"},
        {"10.0.0.60", "10.0.0.70"}, {"10.0.0.70", "10.0.0.80"}, {"10.0.0.65", "10.0.0.66"},
        {"10.0.0.100", "10.0.0.100"},
    };
    std::vector<int> order(ranges.size());
    std::iota(order.begin(), order.end(), 0);
    int permutations = 0;
    do {
        CIPFilter filter;
        std::string text;
        for (int i : order) text += std::string(ranges[i].a) + "-" + ranges[i].b + " 0\n";
        LoadText(filter, text);
        ASSERT_EQ(filter.RangeCount(), 3u);
        for (uint32_t last = 0; last < 256; ++last) {
            const bool inside = (last >= 5 && last <= 50) || (last >= 60 && last <= 80) || last == 100;
            ASSERT_EQ(filter.IsBlocked(htonl(Host("10.0.0.0") + last)), inside) << "10.0.0." << last;
        }
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()) && permutations < 720);
}

TEST(IpFilter, FirstOverlapOnlyFaultIsGone) {
    CIPFilter filter;
    filter.AddRange(Host("0.0.0.10"), Host("0.0.0.20"));
    filter.AddRange(Host("0.0.0.30"), Host("0.0.0.40"));
    filter.AddRange(Host("0.0.0.5"), Host("0.0.0.50"));
    EXPECT_TRUE(filter.IsBlocked(Net("0.0.0.25")));
    EXPECT_EQ(filter.RangeCount(), 1u);
    EXPECT_FALSE(filter.AddRange(9, 8));
}

TEST(IpFilter, ResetRestoresThresholdAndEmpties) {
    CIPFilter filter;
    filter.SetThreshold(300);
    EXPECT_EQ(LoadText(filter, "1.0.0.0-1.0.0.9 200\n"), 1);
    filter.ResetIpFilter();
    EXPECT_EQ(filter.Threshold(), CIPFilter::kDefaultThreshold);
    EXPECT_EQ(filter.RangeCount(), 0u);
    EXPECT_FALSE(filter.IsBlocked(Net("1.0.0.1")));
    EXPECT_TRUE(filter.AddRange(0, 0xFFFFFFFFu));
    EXPECT_TRUE(filter.IsBlocked(0xFFFFFFFFu));
}

}  // namespace
}  // namespace zl
