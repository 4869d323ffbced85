#include "engine/net/http_redirect.h"

#include <gtest/gtest.h>

namespace zl {
namespace {

TEST(HttpRedirect, Locations) {
    struct Case {
        const char* location;
        uint16_t port;
        const char* path;
        HttpRedirectError error;
        const char* url;
    } cases[] = {
        {"/b/c.zip", 8080, "/a/x.zip", HttpRedirectError::kNone, "http://h:8080/b/c.zip"},
        {"/b/c.zip", 80, "/a/x.zip", HttpRedirectError::kNone, "http://h/b/c.zip"},
        {"c.zip", 80, "/a/x.zip?q=1", HttpRedirectError::kNone, "http://h/a/c.zip"},
        {"c.zip", 80, "/", HttpRedirectError::kNone, "http://h/c.zip"},
        {"?v=2", 80, "/a/x.zip?q=1", HttpRedirectError::kNone, "http://h/a/x.zip?v=2"},
        {"http://other:81/x", 80, "/", HttpRedirectError::kNone, "http://other:81/x"},
        {"HTTP://Other/X", 80, "/", HttpRedirectError::kNone, "http://Other/X"},
        {"ftp://u:p@f/x.zip", 80, "/", HttpRedirectError::kNone, "ftp://u:p@f/x.zip"},
        {"//cdn.test/x.zip", 80, "/", HttpRedirectError::kNone, "http://cdn.test/x.zip"},
        {"  /x.zip#frag ", 80, "/", HttpRedirectError::kNone, "http://h/x.zip"},
        {"https://secure.test/x.zip", 80, "/", HttpRedirectError::kUnsupportedScheme, ""},
        {"gopher://g/x", 80, "/", HttpRedirectError::kUnsupportedScheme, ""},
        {"", 80, "/", HttpRedirectError::kEmpty, ""},
        {"#only", 80, "/", HttpRedirectError::kEmpty, ""},
        {"/a\r\nSet-Cookie: x", 80, "/", HttpRedirectError::kBadCharacters, ""},
        {"/a b", 80, "/", HttpRedirectError::kBadCharacters, ""},
    };
    for (const Case& c : cases) {
        HttpRedirectTarget target = ResolveHttpRedirect(c.location, {"h", c.port, c.path});
        EXPECT_EQ(target.error, c.error) << c.location;
        EXPECT_EQ(target.url, c.url) << c.location;
    }
}

}  // namespace
}  // namespace zl
