#include "app/formatters.h"

#include <gtest/gtest.h>

namespace zl::app {
namespace {

TEST(Formatters, Size) {
    for (auto [bytes, text] : {std::pair<uint64_t, const char*>{0, ""}, {1, "1 B"}, {1023, "1023 B"},
                               {1024, "1.0 KB"}, {1'048'575, "1024.0 KB"}, {1'048'576, "1.0 MB"},
                               {uint64_t(1) << 30, "1.0 GB"}, {uint64_t(3) << 39, "1.5 TB"},
                               {4'294'967'296, "4.0 GB"}})
        EXPECT_EQ(FormatSize(bytes), text) << bytes;
}

TEST(Formatters, SizeWhole) {
    EXPECT_EQ(FormatSizeWhole(0), "");
    EXPECT_EQ(FormatSizeWhole(5), " 5 B");
    EXPECT_EQ(FormatSizeWhole((uint64_t(1) << 30) + (512u << 20)), " 1 GB 512 MB");
    EXPECT_EQ(FormatSizeWhole((2u << 20) + 3), " 2 MB 3 B");
}

TEST(Formatters, Speed) {
    for (auto [bps, text] : {std::pair<uint32_t, const char*>{0, "0 B/s"}, {1023, "1023 B/s"}, {1024, "1.0 KB/s"},
                             {1536, "1.5 KB/s"}, {1u << 20, "1.0 MB/s"}, {1u << 30, "1.0 GB/s"},
                             {3'435'973'835u, "3.2 GB/s"}, {3'435'973'836u, "未知"}})
        EXPECT_EQ(FormatSpeed(bps), text) << bps;
}

TEST(Formatters, Percent) {
    for (auto [t, text] : {std::pair<uint32_t, const char*>{0, "0%"}, {1234, "12.34%"}, {1200, "12%"},
                           {5, "0.05%"}, {10000, "100%"}, {9999, "99.99%"}})
        EXPECT_EQ(FormatPercent(t), text) << t;
}

TEST(Formatters, ProgressSize) {
    EXPECT_EQ(FormatProgressSize(0, 1'048'576), "0 B/1.0 MB");
    EXPECT_EQ(FormatProgressSize(1024, 1'048'576), "1.0 KB/1.0 MB");
}

}  // namespace
}  // namespace zl::app
