#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/net/http_chunked.h"
#include "engine/net/http_whole_body.h"

namespace zl {
namespace {

using Chunked = HttpChunkedDecoder::Status;

// Feeds `wire` to a decoder in pieces cut at `cuts`; returns the status, the
// decoded data and the bytes left over after the body.
struct Decoded {
    Chunked status;
    std::string data;
    std::string rest;
};

Decoded DecodeInPieces(const std::string& wire, std::vector<size_t> cuts) {
    HttpChunkedDecoder decoder;
    Decoded result{Chunked::kNeedMore, {}, {}};
    cuts.push_back(wire.size());
    size_t at = 0;
    for (size_t cut : cuts) {
        std::string piece = wire.substr(at, cut - at);
        at = cut;
        size_t consumed = 0;
        if (result.status == Chunked::kNeedMore) result.status = decoder.Feed(piece, result.data, consumed);
        result.rest += piece.substr(consumed);
    }
    return result;
}

TEST(HttpChunked, DecodesAtEveryTwoByteBoundary) {
    const std::string wire =
        "4;name=v\r\nWiki\r\n"
        "5\r\npedia\r\n"
        "E \r\n in\r\n\r\nchunks.\r\n"
        "0\r\nTrailer: x\r\n\r\n"
        "NEXT";
    for (size_t a = 0; a <= wire.size(); ++a) {
        for (size_t b = a; b <= wire.size(); ++b) {
            Decoded d = DecodeInPieces(wire, {a, b});
            ASSERT_EQ(d.status, Chunked::kDone) << a << "," << b;
            ASSERT_EQ(d.data, "Wikipedia in\r\n\r\nchunks.") << a << "," << b;
            ASSERT_EQ(d.rest, "NEXT") << a << "," << b;
        }
    }
}

TEST(HttpChunked, BareLineFeedsAndUpperCaseHex) {
    Decoded d = DecodeInPieces("A\n0123456789\n0\n\n", {});
    EXPECT_EQ(d.status, Chunked::kDone);
    EXPECT_EQ(d.data, "0123456789");
}

TEST(HttpChunked, RejectsMalformedAndOversizedInput) {
    struct Case {
        std::string wire;
        const char* why;
    } cases[] = {
        {"x\r\n", "no hex digits"},
        {"4 junk\r\nabcd\r\n", "junk after the size"},
        {"4\r\nabcdX\r\n", "data longer than its size"},
        {"FFFFFFFFFFFFFFFFF\r\n", "size overflows"},
        {"1" + std::string(HttpChunkedDecoder::kMaxSizeLineBytes, '0'), "endless size line"},
        {"0\r\n" + std::string(HttpChunkedDecoder::kMaxTrailerBytes, 'T'), "endless trailer"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeInPieces(c.wire, {}).status, Chunked::kError) << c.why;
    }
    HttpChunkedDecoder small(8);
    std::string out;
    size_t consumed = 0;
    EXPECT_EQ(small.Feed("5\r\nabcde\r\n4\r\n", out, consumed), Chunked::kError) << "body above the cap";
}

TEST(HttpWholeBody, LengthChunkedAndUntilClose) {
    size_t consumed = 0;
    HttpWholeBody sized(5, false);
    EXPECT_EQ(sized.Feed("abc", consumed), HttpWholeBody::Status::kNeedMore);
    EXPECT_EQ(sized.Feed("deEXTRA", consumed), HttpWholeBody::Status::kComplete);
    EXPECT_EQ(consumed, 2u) << "bytes beyond the length are not taken";
    EXPECT_EQ(sized.body(), "abcde");

    HttpWholeBody cut_short(5, false);
    cut_short.Feed("abc", consumed);
    EXPECT_EQ(cut_short.OnConnectionClosed(), HttpWholeBody::Status::kError);

    HttpWholeBody until_close(-1, false);
    until_close.Feed("xyz", consumed);
    EXPECT_EQ(until_close.OnConnectionClosed(), HttpWholeBody::Status::kComplete);
    EXPECT_EQ(until_close.body(), "xyz");

    HttpWholeBody empty_close(-1, false);
    EXPECT_EQ(empty_close.OnConnectionClosed(), HttpWholeBody::Status::kError);

    HttpWholeBody capped(-1, false, 4);
    EXPECT_EQ(capped.Feed("12345", consumed), HttpWholeBody::Status::kError);

    HttpWholeBody chunked(-1, true);
    EXPECT_EQ(chunked.Feed("3\r\nabc\r\n", consumed), HttpWholeBody::Status::kNeedMore);
    EXPECT_EQ(chunked.OnConnectionClosed(), HttpWholeBody::Status::kError) << "closed before the last chunk";
    HttpWholeBody chunked_done(-1, true);
    EXPECT_EQ(chunked_done.Feed("3\r\nabc\r\n0\r\n\r\n", consumed), HttpWholeBody::Status::kComplete);
    EXPECT_EQ(chunked_done.body(), "abc");

    // Whole-content mode without a length: the resource length stands at the
    // cap, but the body still ends with the connection.
    HttpResponsePlan no_length;
    no_length.content_length = kHttpUnknownWholeLength;
    HttpWholeBody from_plan(no_length);
    from_plan.Feed("tiny", consumed);
    EXPECT_EQ(from_plan.OnConnectionClosed(), HttpWholeBody::Status::kComplete);
    EXPECT_EQ(from_plan.body(), "tiny");

    EXPECT_EQ(HttpWholeBody(0, false).status(), HttpWholeBody::Status::kComplete);
    EXPECT_EQ(HttpWholeBody(10, false, 5).status(), HttpWholeBody::Status::kError);
}

}  // namespace
}  // namespace zl
