#include "engine/base/ini_lexer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace zl {
namespace {

TEST(IniLexer, OneRuleForEveryLine) {
    struct Case {
        const char* line;
        IniLineKind kind;
        const char* name;
        const char* value;
    } cases[] = {
        {"", IniLineKind::kBlank, "", ""},
        {" \t\r", IniLineKind::kBlank, "", ""},
        {"; a comment=1", IniLineKind::kComment, "", ""},
        {"  # also a comment=1", IniLineKind::kComment, "", ""},
        {"[ Section One ] trailing", IniLineKind::kSection, "Section One", ""},
        {"[unclosed=1", IniLineKind::kOther, "", ""},
        {"no equals sign", IniLineKind::kOther, "", ""},
        {" = value without a key", IniLineKind::kOther, "", ""},
        {"  Key = value with = inside \r", IniLineKind::kKey, "Key", "value with = inside"},
        {"Key=", IniLineKind::kKey, "Key", ""},
        {"Q = \" a b \"", IniLineKind::kKey, "Q", " a b "},
        {"Q='single'", IniLineKind::kKey, "Q", "single"},
        {"Q=\"mixed'", IniLineKind::kKey, "Q", "\"mixed'"},
        {"Q=\"", IniLineKind::kKey, "Q", "\""},
        {"Path=C:\\x;y#z", IniLineKind::kKey, "Path", "C:\\x;y#z"},  // ';' and '#' only start a line
    };
    for (const Case& c : cases) {
        const IniLine line = LexIniLine(c.line);
        EXPECT_EQ(line.kind, c.kind) << c.line;
        EXPECT_EQ(line.name, c.name) << c.line;
        EXPECT_EQ(line.value, c.value) << c.line;
    }
}

TEST(IniLexer, LinesEndAtLfWithOrWithoutCr) {
    EXPECT_EQ(SplitIniLines("a\r\nb\n\nc"), (std::vector<std::string_view>{"a", "b", "", "c"}));
    EXPECT_EQ(SplitIniLines("a\n"), (std::vector<std::string_view>{"a"}));
    EXPECT_TRUE(SplitIniLines("").empty());
    // A CR alone does not end a line; it is a blank at the end of one.
    EXPECT_EQ(SplitIniLines("a=1\rb=2"), (std::vector<std::string_view>{"a=1\rb=2"}));
}

TEST(IniLexer, ReadsRegularFilesUpToTheBound) {
    const test::TempDir dir;
    const std::string small = dir.File("small.ini", "[S]\nk=v\n");
    const std::string large = dir.File("large.ini", std::string(kMaxIniBytes + 1, ';'));
    const std::string fifo = dir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadIniText(small), "[S]\nk=v\n");
    EXPECT_FALSE(ReadIniText(large));
    EXPECT_FALSE(ReadIniText(fifo));  // refused at once, not waited on
    EXPECT_FALSE(ReadIniText(dir / "missing.ini"));
    EXPECT_FALSE(ReadIniText(dir.path()));
}

}  // namespace
}  // namespace zl
