#include "tools/zlfetch/text_format.h"

#include <gtest/gtest.h>

#include <string>

namespace zlfetch {
namespace {

// A JSON text must be UTF-8: bytes that form no character (a server's
// redirect target, a text cut in mid-character) become U+FFFD, valid
// characters pass unchanged.
TEST(ZlfetchJsonEscape, KeepsValidUtf8AndReplacesWhatIsNot) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain \"q\" \\ \t", "plain \\\"q\\\" \\\\ \\u0009"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"http://127.0.106.1/\xff\xfe", "http://127.0.106.1/\\ufffd\\ufffd"},
        {"cut \xe2\x82", "cut \\ufffd\\ufffd"},            // a character cut short at the end
        {"\xe2\x82x", "\\ufffd\\ufffdx"},                  // ... or before an ASCII byte
        {"\xc0\xaf", "\\ufffd\\ufffd"},                     // overlong "/"
        {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},          // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // beyond U+10FFFF
        {"\x80", "\\ufffd"},                                // a lone continuation byte
    };
    for (const auto& c : cases) EXPECT_EQ(JsonEscape(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace zlfetch
