#include <gtest/gtest.h>

#include <string>

#include "engine/net/http_response_header.h"
#include "engine/net/http_response_plan.h"

namespace zl {
namespace {

HttpResponseHeader Parse(const std::string& text) {
    auto header = ParseHttpResponseHeader(text);
    EXPECT_TRUE(header) << text;
    return header.value_or(HttpResponseHeader{});
}

TEST(HttpHeaderReader, ParsesStatusLineAndFindsValuesInAnyCase) {
    HttpResponseHeader h = Parse(
        "HTTP/1.1 206 Partial Content\r\n"
        "content-length-extra: 5\r\n"
        "CONTENT-LENGTH  :  100 \r\n"
        "Content-Length: 7\r\n"
        "X-Empty:\r\n\r\n");
    EXPECT_EQ(h.version, "1.1");
    EXPECT_EQ(h.status, 206);
    EXPECT_EQ(h.reason, "Partial Content");
    EXPECT_EQ(h.lines.size(), 4u);
    EXPECT_EQ(h.Find("Content-Length"), "100") << "first matching line; a longer name does not match";
    EXPECT_EQ(h.Find("x-empty"), "");
    EXPECT_FALSE(h.Find("Location"));
}

TEST(HttpHeaderReader, HeaderEndsAtLfFollowedByEmptyLine) {
    // Bare LF line ends, mixed ends, and the status line absent.
    EXPECT_EQ(Parse("HTTP/1.0 200 OK\nA: 1\n\n").Find("A"), "1");
    EXPECT_EQ(Parse("HTTP/1.0 200 OK\r\nA: 1\n\r\n").Find("A"), "1");
    HttpResponseHeader no_status = Parse("Server: x\r\n\r\n");
    EXPECT_EQ(no_status.status, 0);
    EXPECT_EQ(no_status.Find("Server"), "x");
    EXPECT_EQ(Parse("HTTP/1.1 abc\r\n\r\n").status, 0);
    EXPECT_FALSE(ParseHttpResponseHeader("HTTP/1.1 200 OK\r\nA: 1\r\n"));
}

TEST(HttpHeaderReader, LeavesBodyBytesAndCopesWithEverySplit) {
    const std::string header = "\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
    const std::string wire = header + "body";
    for (size_t a = 0; a <= wire.size(); ++a) {
        for (size_t b = a; b <= wire.size(); ++b) {
            HttpHeaderReader reader;
            size_t taken = 0;
            std::string pieces[] = {wire.substr(0, a), wire.substr(a, b - a), wire.substr(b)};
            HttpHeaderReader::Status status = HttpHeaderReader::Status::kNeedMore;
            std::string rest;
            for (const std::string& piece : pieces) {
                size_t consumed = 0;
                if (status == HttpHeaderReader::Status::kNeedMore) {
                    status = reader.Feed(piece, consumed);
                    taken += consumed;
                }
                rest += piece.substr(consumed);
            }
            ASSERT_EQ(status, HttpHeaderReader::Status::kComplete) << a << "," << b;
            EXPECT_EQ(taken, header.size());
            EXPECT_EQ(rest, "body");
            EXPECT_EQ(reader.header().status, 200);
        }
    }
}

TEST(HttpHeaderReader, FailsWithoutHeaderEndWithin16KiB) {
    std::string line = "X-Filler: " + std::string(90, 'a') + "\r\n";
    std::string big = "HTTP/1.1 200 OK\r\n";
    while (big.size() < HttpHeaderReader::kMaxHeaderBytes + 100) big += line;

    HttpHeaderReader reader;
    HttpHeaderReader::Status status = HttpHeaderReader::Status::kNeedMore;
    size_t total = 0;
    for (size_t at = 0; at < big.size() && status == HttpHeaderReader::Status::kNeedMore; at += 1000) {
        size_t consumed = 0;
        status = reader.Feed(std::string_view(big).substr(at, 1000), consumed);
        total += consumed;
    }
    EXPECT_EQ(status, HttpHeaderReader::Status::kTooLarge);
    EXPECT_LE(total, HttpHeaderReader::kMaxHeaderBytes);

    // A header of exactly 16 KiB is still accepted.
    std::string exact = "HTTP/1.1 200 OK\r\nX: ";
    exact += std::string(HttpHeaderReader::kMaxHeaderBytes - exact.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), HttpHeaderReader::kMaxHeaderBytes);
    EXPECT_TRUE(ParseHttpResponseHeader(exact));
    // Endless empty lines before the status line also hit the cap.
    EXPECT_EQ(HttpHeaderReader().Feed(std::string(HttpHeaderReader::kMaxHeaderBytes, '\n'), total),
              HttpHeaderReader::Status::kTooLarge);
}

TEST(HttpContentRange, Forms) {
    struct Case {
        const char* value;
        bool ok;
        int64_t first, last, total;
    } cases[] = {
        {"bytes 0-99/1000", true, 0, 99, 1000},
        {"bytes 4294967296-8589934591/8589934592", true, 4294967296LL, 8589934591LL, 8589934592LL},
        {"BYTES  16384-16483/*", true, 16384, 16483, -1},
        {"bytes=5-9/10", true, 5, 9, 10},
        {"bytes */1000", true, -1, -1, 1000},
        {"0-99/1000", true, 0, 99, 1000},
        {"bytes 0-99", false, 0, 0, 0},
        {"bytes 9-5/10", false, 0, 0, 0},
        {"bytes 0-10/10", false, 0, 0, 0},
        {"bytes -1-5/10", false, 0, 0, 0},
        {"bytes 0-5/99999999999999999999", false, 0, 0, 0},
        {"bytes */*", false, 0, 0, 0},
        {"bytes 0-5/1x", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        auto range = ParseHttpContentRange(c.value);
        ASSERT_EQ(range.has_value(), c.ok) << c.value;
        if (!range) continue;
        EXPECT_EQ(range->first, c.first) << c.value;
        EXPECT_EQ(range->last, c.last) << c.value;
        EXPECT_EQ(range->total, c.total) << c.value;
    }
}

TEST(HttpContentDisposition, FileNames) {
    struct Case {
        const char* value;
        const char* name;
    } cases[] = {
        {"attachment; filename=\"Data300.zip\"; size=5", "Data300.zip"},
        {"attachment; filename=a b.zip; x=1", "a b.zip"},
        {"attachment; FileName=\"x;y.zip\"", "x;y.zip"},
        {"attachment; filename=\"../../etc/passwd\"", "passwd"},
        {"attachment; filename=\"C:\\\\win\\\\a.exe\"", "a.exe"},
        {"attachment; filename=..", ""},
        {"attachment", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(HttpContentDispositionFileName(c.value), c.name) << c.value;
}

TEST(HttpStatus, ActionByClass) {
    struct Case {
        int status;
        HttpAction action;
    } cases[] = {
        {200, HttpAction::kData},         {206, HttpAction::kData},         {299, HttpAction::kData},
        {301, HttpAction::kRedirect},     {302, HttpAction::kRedirect},     {307, HttpAction::kRedirect},
        {403, HttpAction::kRemoveSource}, {404, HttpAction::kRemoveSource}, {416, HttpAction::kRemoveSource},
        {500, HttpAction::kPenalise},     {503, HttpAction::kPenalise},     {0, HttpAction::kFail},
        {100, HttpAction::kFail},         {600, HttpAction::kFail},
    };
    for (const Case& c : cases) EXPECT_EQ(HttpActionOfStatus(c.status), c.action) << c.status;
}

struct PlanCase {
    const char* name;
    std::string header;
    HttpRequestContext request;
    HttpAction action;
    int64_t stream_offset;
    int64_t content_length;
    bool range_ignored;
    bool chunked;
};

TEST(HttpResponsePlan, WhereTheBodyStartsAndHowLongTheResourceIs) {
    const PlanCase cases[] = {
        {"206 with a backwards range",
         "HTTP/1.1 206 Partial\r\nContent-Range: bytes 32768-99/*\r\n\r\n", {32768, false}, HttpAction::kFail, 0, -1, false, false},
        {"206 from Content-Range start", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 32768-999999/1000000\r\nContent-Length: 967232\r\n\r\n",
         {32768, false}, HttpAction::kData, 32768, 1000000, false, false},
        {"206 starting elsewhere than asked", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 16384-999999/1000000\r\n\r\n",
         {32768, false}, HttpAction::kData, 16384, 1000000, false, false},
        {"200 to a ranged request starts at 0", "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n", {32768, false},
         HttpAction::kData, 0, 1000000, true, false},
        {"200 to a whole request", "HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", {0, false}, HttpAction::kData, 0,
         4294967296LL, false, false},
        {"206 without Content-Range", "HTTP/1.1 206 Partial\r\nContent-Length: 5\r\n\r\n", {5, false}, HttpAction::kFail, 0, -1, false,
         false},
        {"206 with unparsable Content-Range", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99\r\n\r\n", {5, false},
         HttpAction::kFail, 0, -1, false, false},
        {"no length at all", "HTTP/1.1 200 OK\r\n\r\n", {0, false}, HttpAction::kData, 0, -1, false, false},
        {"no length in whole-content mode", "HTTP/1.1 200 OK\r\n\r\n", {0, true}, HttpAction::kData, 0, 2147483647, false, false},
        {"invalid Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", {0, false}, HttpAction::kFail, 0, -1, false,
         false},
        {"chunked in whole-content mode", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Length: 99\r\n\r\n", {0, true},
         HttpAction::kData, 0, 2147483647, false, true},
        {"chunked where blocks are read", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", {0, false}, HttpAction::kPenalise, 0,
         -1, false, true},
        {"unknown transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", {0, true}, HttpAction::kPenalise, 0, -1, false,
         false},
        {"identity coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 3\r\n\r\n", {0, false},
         HttpAction::kData, 0, 3, false, false},
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\n", {0, false}, HttpAction::kRemoveSource, 0, -1, false, false},
        {"503", "HTTP/1.1 503 Busy\r\n\r\n", {0, false}, HttpAction::kPenalise, 0, -1, false, false},
        {"302 without Location", "HTTP/1.1 302 Found\r\n\r\n", {0, false}, HttpAction::kFail, 0, -1, false, false},
    };
    for (const PlanCase& c : cases) {
        HttpResponsePlan plan = PlanHttpResponse(Parse(c.header), c.request);
        EXPECT_EQ(plan.action, c.action) << c.name;
        if (plan.action != HttpAction::kData) continue;
        EXPECT_TRUE(plan.problem.empty()) << c.name;
        EXPECT_EQ(plan.stream_offset, c.stream_offset) << c.name;
        EXPECT_EQ(plan.content_length, c.content_length) << c.name;
        EXPECT_EQ(plan.range_ignored, c.range_ignored) << c.name;
        EXPECT_EQ(plan.chunked, c.chunked) << c.name;
    }
}

TEST(HttpResponsePlan, ContentRangeLengthFollowsTheServer) {
    // bytes 0-99/1000 gives 1000; a total of "*" leaves the length unknown.
    HttpResponsePlan known = PlanHttpResponse(Parse("HTTP/1.1 206 P\r\nContent-Range: bytes 0-99/1000\r\n\r\n"), {});
    EXPECT_EQ(known.content_length, 1000);
    EXPECT_EQ(known.body_length, 100);
    EXPECT_FALSE(known.no_content_length);
    HttpResponsePlan none = PlanHttpResponse(Parse("HTTP/1.1 200 OK\r\n\r\n"), {});
    EXPECT_TRUE(none.no_content_length);
    EXPECT_EQ(none.body_length, -1);
}

TEST(HttpResponsePlan, RedirectKeepAliveAndFileName) {
    HttpResponsePlan redirect = PlanHttpResponse(Parse("HTTP/1.1 302 Found\r\nLocation:  /b.zip \r\n\r\n"), {});
    EXPECT_EQ(redirect.action, HttpAction::kRedirect);
    EXPECT_EQ(redirect.location, "/b.zip");

    struct Case {
        const char* header;
        bool keep_alive;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\n", true},
    };
    for (const Case& c : cases) EXPECT_EQ(PlanHttpResponse(Parse(c.header), {}).keep_alive, c.keep_alive) << c.header;

    HttpResponsePlan named =
        PlanHttpResponse(Parse("HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"x.zip\";\r\n\r\n"), {});
    EXPECT_EQ(named.file_name, "x.zip");
}

TEST(HttpStreamSkip, ContinueWithin128KiBElseRestart) {
    EXPECT_EQ(HttpStreamSkip(0, 0), 0);
    EXPECT_EQ(HttpStreamSkip(131072, 0), 131072);
    EXPECT_FALSE(HttpStreamSkip(131073, 0));
    EXPECT_FALSE(HttpStreamSkip(16384, 32768)) << "the wanted block lies behind the stream";
    EXPECT_EQ(HttpStreamSkip(4294967296LL + 16384, 4294967296LL), 16384);
}

TEST(HttpTimeout, Limits) {
    EXPECT_EQ(HttpTimeoutSeconds(false, 0), 15);
    EXPECT_EQ(HttpTimeoutSeconds(true, 0), 30);
    EXPECT_EQ(HttpTimeoutSeconds(false, 1), 30);
    EXPECT_EQ(HttpTimeoutSeconds(true, 2047), 60);
    EXPECT_EQ(HttpTimeoutSeconds(true, 2048), 30);
}

}  // namespace
}  // namespace zl
