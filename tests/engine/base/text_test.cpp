#include "engine/base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace zl {
namespace {

TEST(Text, TrimTakesOnlyTheGivenBlanksFromBothEnds) {
    EXPECT_EQ(Trim(" \t\r\n a b \v\f"), "a b");
    EXPECT_EQ(Trim(" \t \r\n"), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("\r value\t", kHttpBlanks), "\r value");
    EXPECT_EQ(Trim("--x-y--", "-"), "x-y");
}

TEST(Text, CaseBlindComparisonIsAsciiOnly) {
    EXPECT_TRUE(EqualsNoCase("Content-Length", "content-LENGTH"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_FALSE(EqualsNoCase("a", "b"));
    // Every byte counts: an embedded NUL does not end the comparison, and
    // bytes above 0x7F are not letters.
    EXPECT_FALSE(EqualsNoCase(std::string("a\0b", 3), std::string("a\0c", 3)));
    EXPECT_FALSE(EqualsNoCase("\xc4", "\xe4"));
    EXPECT_TRUE(StartsWithNoCase("HTTP/1.1 200", "http/"));
    EXPECT_FALSE(StartsWithNoCase("HTT", "http"));
}

TEST(Text, HexEncodesEachByteInEitherCase) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(HexEncode(bytes, sizeof bytes), "000fa5ff");
    EXPECT_EQ(HexEncode(bytes, sizeof bytes, HexCase::kUpper), "000FA5FF");
    EXPECT_EQ(HexEncode(std::array<uint8_t, 2>{0x41, 0x7a}), "417a");
    EXPECT_EQ(HexEncode(""), "");
}

TEST(Text, PercentEncodingKeepsWhatItsRuleKeeps) {
    const std::string bytes("Az0 -._~%&/\x7f\x80\xff", 14);
    struct Case {
        PercentKeep keep;
        HexCase hex_case;
        const char* out;
    } cases[] = {
        // Tracker queries and info hashes: letters and digits only.
        {PercentKeep::kAlnum, HexCase::kLower, "Az0%20%2d%2e%5f%7e%25%26%2f%7f%80%ff"},
        // Form fields: the unreserved set, upper-case digits.
        {PercentKeep::kUnreserved, HexCase::kUpper, "Az0%20-._~%25%26%2F%7F%80%FF"},
        // A URL as written: its escapes and separators stay.
        {PercentKeep::kAllAboveSpaceAscii, HexCase::kLower, "Az0%20-._~%&/\x7f%80%ff"},
    };
    for (const Case& c : cases) EXPECT_EQ(PercentEncode(bytes, c.keep, c.hex_case), c.out) << c.out;
    EXPECT_EQ(PercentEncode(std::string("\0", 1), PercentKeep::kAlnum), "%00");
}

TEST(Text, PercentDecodingKeepsBrokenEscapes) {
    EXPECT_EQ(PercentDecode("a%20b%zz%4"), "a b%zz%4");
    EXPECT_EQ(PercentDecode("%41%6a%"), "Aj%");
    EXPECT_EQ(PercentDecode("%%41"), "%A");
    const std::string all = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s.push_back(char(i));
        return s;
    }();
    EXPECT_EQ(PercentDecode(PercentEncode(all, PercentKeep::kAlnum)), all);
}

}  // namespace
}  // namespace zl
