#include "tools/zlfetch/text_format.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zlfetch {
namespace {

// A JSON text must be UTF-8: bytes that form no character (a server's
// redirect target, a text cut in mid-character) become U+FFFD, valid
// characters pass unchanged.
TEST(ZlfetchJson, KeepsValidUtf8AndReplacesWhatIsNot) {
    const std::string r = "\xef\xbf\xbd";  // U+FFFD
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain \"q\" \\ \t", "plain \"q\" \\ \t"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"http://127.0.106.1/\xff\xfe", "http://127.0.106.1/" + r + r},
        {"cut \xe2\x82", "cut " + r + r},  // a character cut short at the end
        {"\xe2\x82x", r + r + "x"},        // ... or before an ASCII byte
        {"\xc0\xaf", r + r},               // overlong "/"
        {"\xed\xa0\x80", r + r + r},        // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
        {"\x80", r},                         // a lone continuation byte
    };
    for (const auto& c : cases) EXPECT_EQ(ValidUtf8(c.in), c.out) << c.in;
}

// What jsoncpp writes for zlfetch reads back as the same values, "name": value
// on one line, with the figures' decimals as they were printed before.
TEST(ZlfetchJson, OneLineObjectsReadBack) {
    Json::Value o(Json::objectValue);
    o["percent"] = Rounded(12.3456, 2);
    o["final"] = true;
    o["bytes_done"] = Json::Int64(0);
    o["first_piece_s"] = Rounded(-1, 3);
    o["source"] = ValidUtf8("ftp://h/\xff \"q\"\n");
    const std::string line = JsonText(o);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_NE(line.find("\"final\": true"), std::string::npos) << line;
    EXPECT_NE(line.find("\"bytes_done\": 0,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"percent\": 12.35"), std::string::npos) << line;
    Json::Value back;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &back, &errors)) << errors;
    EXPECT_EQ(back["source"].asString(), "ftp://h/\xef\xbf\xbd \"q\"\n");
    EXPECT_DOUBLE_EQ(back["first_piece_s"].asDouble(), -1);
    EXPECT_TRUE(JsonText(o, true).find('\n') != std::string::npos);
}

}  // namespace
}  // namespace zlfetch
