#include "engine/net/http_request.h"

#include <gtest/gtest.h>

namespace zl {
namespace {

constexpr const char* kAgent = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Zephyrloader/1.0.0\r\n";

TEST(HttpRequest, WholeResourceHasNoRangeLine) {
    HttpRequestSpec spec{"mirror.test", "/300/Data300.zip", "http://mirror.test/300", "http://mirror.test/300/Data300.zip", 0};
    EXPECT_EQ(*BuildHttpRequest(spec), std::string("GET /300/Data300.zip HTTP/1.1\r\n"
                                                   "Host:mirror.test\r\n"
                                                   "Accept:*/*\r\n"
                                                   "Referer: http://mirror.test/300\r\n") +
                                           kAgent +
                                           "Connection:Keep-Alive\r\n"
                                           "Pragma: no-cache\r\n"
                                           "Cache-Control: no-cache\r\n"
                                           "\r\n");
}

TEST(HttpRequest, RangedRequestIsOpenEndedBeyond4GiB) {
    HttpRequestSpec spec{"h", "/a?x=1", "", "http://h:8080/a?x=1", 4294967296LL + 16384};
    std::string text = *BuildHttpRequest(spec);
    EXPECT_NE(text.find("GET /a?x=1 HTTP/1.1\r\nHost:h\r\n"), std::string::npos);
    EXPECT_NE(text.find("Referer: http://h:8080/a?x=1\r\n"), std::string::npos) << "empty referer: the URL is sent";
    EXPECT_NE(text.find("Connection:Keep-Alive\r\nRange: bytes=4294983680-\r\nPragma: no-cache\r\n"), std::string::npos);
}

TEST(HttpRequest, RefusesFieldsThatWouldBreakTheRequest) {
    struct Case {
        HttpRequestSpec spec;
        const char* why;
    } cases[] = {
        {{"h", "/a\r\nX-Evil: 1", "r", "u", 0}, "CRLF in path"},
        {{"h\r\nX: y", "/a", "r", "u", 0}, "CRLF in host"},
        {{"h", "/a", "r\n", "u", 0}, "LF in referer"},
        {{"h", "a", "r", "u", 0}, "path without leading slash"},
        {{"", "/a", "r", "u", 0}, "no host"},
        {{"h:80", "/a", "r", "u", -1}, "negative offset"},
    };
    for (const Case& c : cases) EXPECT_FALSE(BuildHttpRequest(c.spec)) << c.why;
}

TEST(HttpRequest, BlankInPathIsEscaped) {
    HttpRequestSpec spec{"h", "/my file.zip", "r", "u", 0};
    EXPECT_EQ(BuildHttpRequest(spec)->substr(0, 30), "GET /my%20file.zip HTTP/1.1\r\nH");
}

TEST(HttpRequest, PathAndRefererOfUrl) {
    struct Case {
        const char* url;
        const char* path;
        const char* referer;
    } cases[] = {
        {"http://h/300/Data300.zip", "/300/Data300.zip", "http://h/300"},
        {"http://h:8080/a.zip?k=v/w", "/a.zip?k=v/w", "http://h:8080/a.zip?k=v"},
        {"http://h/", "/", "http://h"},
        {"http://h", "/", "http://h"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HttpRequestPathOf(c.url), c.path) << c.url;
        EXPECT_EQ(HttpRefererOf(c.url), c.referer) << c.url;
    }
}

}  // namespace
}  // namespace zl
