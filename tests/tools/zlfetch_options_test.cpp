#include "tools/zlfetch/options.h"

#include <gtest/gtest.h>

namespace zlfetch {
namespace {

const std::vector<OptionSpec> kSpecs = {
    {"dir", true, false, ""},
    {"source", true, true, ""},
    {"json", false, false, ""},
};

TEST(ZlfetchOptions, ParsesPositionalValuesAndFlags) {
    std::string error;
    auto parsed = ParseArgs({"a.torrent", "--dir", "/tmp/x", "--source=http://a", "--source", "ftp://b", "--json"},
                            kSpecs, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->positional, std::vector<std::string>{"a.torrent"});
    EXPECT_EQ(parsed->Value("dir"), "/tmp/x");
    EXPECT_EQ(parsed->Values("source"), (std::vector<std::string>{"http://a", "ftp://b"}));
    EXPECT_TRUE(parsed->Has("json"));
}

TEST(ZlfetchOptions, EverythingAfterTwoDashesIsPositional) {
    std::string error;
    auto parsed = ParseArgs({"--dir", "d", "--", "--odd name.torrent", "-x"}, kSpecs, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->positional, (std::vector<std::string>{"--odd name.torrent", "-x"}));
    EXPECT_EQ(parsed->Value("dir"), "d");
    EXPECT_FALSE(parsed->Has("json"));
}

TEST(ZlfetchOptions, RefusesBadOptions) {
    const std::vector<std::vector<std::string>> bad = {
        {"--nope"}, {"--dir"}, {"--dir", "a", "--dir", "b"}, {"--json=1"}, {"--json", "--json"}, {"-j"},
    };
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(ParseArgs(args, kSpecs, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace zlfetch
