// The HTTP codec against a real nginx on loopback: the request text is
// accepted, ranged and whole answers, a server that ignores Range, a
// redirect, a 404 and a chunked body, two requests on one connection.
#include <gtest/gtest.h>

#include "engine/net/http_redirect.h"
#include "engine/net/http_request.h"
#include "engine/net/http_response_header.h"
#include "engine/net/http_response_plan.h"
#include "engine/net/http_whole_body.h"
#include "tests/engine/net/http_ftp_test_support.h"

namespace zl {
namespace {

using test::kNginx;
constexpr const char* kEchoModule = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

class HttpCodecNginx : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveProgram(kNginx)) GTEST_SKIP() << "nginx is not installed";
        content_ = test::TestContent(300000);
        test::WriteFile(folder_ / "www/files/a.bin", content_);
        address_ = test::TestAddress();
        port_ = test::FreePort(address_);
        std::string echo = access(kEchoModule, R_OK) == 0
                               ? std::string("load_module ") + kEchoModule + ";\n"
                               : std::string();
        have_echo_ = !echo.empty();
        server_ = test::StartNginx(
            folder_, address_, port_,
            "    location /norange/ { max_ranges 0; alias " + folder_ / "www/files/" + "; }\n"
            "    location = /moved { return 302 /files/a.bin; }\n"
            "    location = /secure { return 302 https://secure.test/a.bin; }\n" +
                (have_echo_ ? "    location = /chunked { echo \"first line\"; echo \"second line\"; }\n" : ""),
            echo);
        ASSERT_TRUE(server_) << "nginx did not start; see " << folder_ / "error.log";
    }

    struct Response {
        HttpResponseHeader header;
        HttpResponsePlan plan;
        std::string body;  // whole-content mode: the collected body; else the bytes read after the header
    };

    // Sends one request on `connection` and reads its response.
    Response Exchange(test::TestConnection& connection, const std::string& path, int64_t start, bool whole_content) {
        std::string url = "http://" + address_ + ":" + std::to_string(port_) + path;
        auto request = BuildHttpRequest({address_, HttpRequestPathOf(url), HttpRefererOf(url), url, start});
        EXPECT_TRUE(request);
        EXPECT_TRUE(connection.Send(*request));
        HttpHeaderReader reader;
        std::string rest;
        while (reader.status() == HttpHeaderReader::Status::kNeedMore) {
            std::string data = connection.Receive();
            if (data.empty()) break;
            size_t consumed = 0;
            reader.Feed(data, consumed);
            rest = data.substr(consumed);
        }
        Response response;
        EXPECT_EQ(reader.status(), HttpHeaderReader::Status::kComplete);
        response.header = reader.header();
        response.plan = PlanHttpResponse(response.header, {start, whole_content});
        if (response.plan.action != HttpAction::kData) return response;
        HttpWholeBody body(response.plan);
        std::string_view pending = rest;
        while (body.status() == HttpWholeBody::Status::kNeedMore) {
            if (pending.empty()) {
                rest = connection.Receive(65536);
                if (rest.empty()) {
                    body.OnConnectionClosed();
                    break;
                }
                pending = rest;
            }
            size_t consumed = 0;
            body.Feed(pending, consumed);
            pending.remove_prefix(consumed);
        }
        EXPECT_EQ(body.status(), HttpWholeBody::Status::kComplete) << path;
        EXPECT_TRUE(pending.empty()) << "nothing follows a response on a keep-alive connection";
        response.body = body.body();
        return response;
    }

    test::ServedDir folder_;
    std::string address_;
    uint16_t port_ = 0;
    std::string content_;
    bool have_echo_ = false;
    std::optional<test::TestServer> server_;
};

TEST_F(HttpCodecNginx, WholeAndRangedAnswersOnOneConnection) {
    auto connection = test::TestConnection::Open(address_, port_);
    ASSERT_TRUE(connection);

    Response whole = Exchange(*connection, "/files/a.bin", 0, false);
    EXPECT_EQ(whole.header.status, 200);
    EXPECT_EQ(whole.plan.content_length, 300000);
    EXPECT_EQ(whole.plan.stream_offset, 0);
    EXPECT_FALSE(whole.plan.range_ignored);
    EXPECT_TRUE(whole.plan.keep_alive);
    EXPECT_EQ(whole.body, content_);

    Response ranged = Exchange(*connection, "/files/a.bin", 49152, false);
    EXPECT_EQ(ranged.header.status, 206);
    EXPECT_EQ(ranged.plan.content_length, 300000) << "the resource length comes from Content-Range";
    EXPECT_EQ(ranged.plan.stream_offset, 49152);
    EXPECT_EQ(ranged.body, content_.substr(49152));
}

TEST_F(HttpCodecNginx, ServerIgnoringRangeStartsAtByteZero) {
    auto connection = test::TestConnection::Open(address_, port_);
    ASSERT_TRUE(connection);
    Response r = Exchange(*connection, "/norange/a.bin", 49152, false);
    EXPECT_EQ(r.header.status, 200);
    EXPECT_TRUE(r.plan.range_ignored);
    EXPECT_EQ(r.plan.stream_offset, 0);
    ASSERT_EQ(r.body, content_);
    auto skip = HttpStreamSkip(49152, r.plan.stream_offset);
    ASSERT_TRUE(skip);
    EXPECT_EQ(r.body.substr(static_cast<size_t>(*skip), 16384), content_.substr(49152, 16384))
        << "after the skip the wanted block is the real one";
}

TEST_F(HttpCodecNginx, RedirectsMissingFilesAndChunkedBodies) {
    auto connection = test::TestConnection::Open(address_, port_);
    ASSERT_TRUE(connection);
    Response moved = Exchange(*connection, "/moved", 0, false);
    ASSERT_EQ(moved.plan.action, HttpAction::kRedirect);
    HttpRedirectTarget target = ResolveHttpRedirect(moved.plan.location, {address_, port_, "/moved"});
    ASSERT_EQ(target.error, HttpRedirectError::kNone);
    EXPECT_EQ(target.url, "http://" + address_ + ":" + std::to_string(port_) + "/files/a.bin");

    connection = test::TestConnection::Open(address_, port_);
    Response secure = Exchange(*connection, "/secure", 0, false);
    ASSERT_EQ(secure.plan.action, HttpAction::kRedirect);
    EXPECT_EQ(ResolveHttpRedirect(secure.plan.location, {address_, port_, "/secure"}).error,
              HttpRedirectError::kUnsupportedScheme);

    connection = test::TestConnection::Open(address_, port_);
    EXPECT_EQ(Exchange(*connection, "/files/missing.bin", 0, false).plan.action, HttpAction::kRemoveSource);

    if (!have_echo_) GTEST_SKIP() << "nginx echo module missing: no chunked body to read";
    connection = test::TestConnection::Open(address_, port_);
    Response chunked = Exchange(*connection, "/chunked", 0, true);
    EXPECT_TRUE(chunked.plan.chunked);
    EXPECT_EQ(chunked.body, "first line\nsecond line\n");
    connection = test::TestConnection::Open(address_, port_);
    EXPECT_EQ(Exchange(*connection, "/chunked", 0, false).plan.action, HttpAction::kPenalise)
        << "a chunked body cannot be cut into ranged blocks";
}

}  // namespace
}  // namespace zl
