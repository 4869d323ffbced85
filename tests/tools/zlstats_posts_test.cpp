// The validation of the clients' posts: what today's uploader sends passes
// with its figures read; every malformed or hostile post is refused with its
// reason, whatever part of it is wrong.
#include <gtest/gtest.h>

#include "tests/tools/zlstats_test_posts.h"
#include "tools/zlstats/post_parser.h"

namespace zl::stats {
namespace {

using test::ClientInfo;
using test::Compact;
using test::FormBody;
using test::PercentEncode;

TEST(ZlstatsPosts, ReadsWhatTheUploaderSends) {
    const std::string info = Compact(ClientInfo(7, {{"Httptotalbytes", "3000"},
                                                    {"P2ptotalbytes", "1000"},
                                                    {"Inhttptotalbytes", "300"},
                                                    {"Inp2ptotalbytes", "100"},
                                                    {"Totaltime", "60"},
                                                    {"Averagespeed", "66"},
                                                    {"Progress", "42.50%"},
                                                    {"Errormsg", "网络连接超时"}}));
    // The uploader's own body: the engine's members appended inside the braces.
    const auto parsed = ParsePost(FormBody({{"11060000", info}, {"11010000", Compact(ClientInfo(8))}}));
    ASSERT_TRUE(std::holds_alternative<StatBatch>(parsed)) << std::get<PostRefused>(parsed).reason;
    const StatBatch& batch = std::get<StatBatch>(parsed);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].code, "11060000");
    EXPECT_EQ(batch[0].mach_id, "0A1B2C3D4E5F6071");
    EXPECT_EQ(batch[0].sequence, 7u);
    EXPECT_EQ(batch[0].in_http_bytes, 300u);
    EXPECT_EQ(batch[0].in_p2p_bytes, 100u);
    EXPECT_EQ(batch[0].http_bytes, 3000u);
    EXPECT_EQ(batch[0].average_speed, 66u);
    EXPECT_EQ(batch[0].error_msg, "网络连接超时");
    EXPECT_EQ(batch[0].info, info);
    EXPECT_EQ(batch[1].sequence, 8u);
}

TEST(ZlstatsPosts, ReadsTheInventoryWhenPresent) {
    Json::Value info = ClientInfo(0);
    info["Memory"]["Memory_Total_Capacity"] = "17179869184";
    info["CPU"]["CPU_Architecture"] = "x64";
    const auto parsed = ParsePost(FormBody({{"11010000", Compact(info)}}));
    ASSERT_TRUE(std::holds_alternative<StatBatch>(parsed));
    EXPECT_EQ(std::get<StatBatch>(parsed)[0].memory_total, "17179869184");
    EXPECT_EQ(std::get<StatBatch>(parsed)[0].cpu_arch, "x64");
}

std::string WithInfo(const std::map<std::string, std::string>& overrides, const std::string& code = "11010000") {
    return FormBody({{code, Compact(ClientInfo(1, overrides))}});
}

std::string WithoutMember(const char* name) {
    Json::Value info = ClientInfo(1);
    info.removeMember(name);
    return FormBody({{"11010000", Compact(info)}});
}

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

TEST(ZlstatsPosts, RefusesEveryMalformedOrHostilePost) {
    const std::string sql = "'); DROP TABLE events; --";
    const std::string good_item = "{\"code\":\"11010000\",\"info\":" + Compact(Json::Value(Compact(ClientInfo(1)))) + "}";
    std::map<std::string, std::string> sql_everywhere;
    for (const std::string& name : ClientInfo(1).getMemberNames()) sql_everywhere[name] = sql;
    struct Case {
        const char* what;
        std::string body;
        const char* reason;  // a part of the refusal's text
    };
    const std::vector<Case> cases = {
        {"no data field", "other=1", "no data field"},
        {"data twice", "data=%5B%5D&data=%5B%5D", "repeated"},
        {"a bad escape", "data=%5", "badly escaped"},
        {"not JSON", "data=%5Bnope", "not JSON"},
        {"an object, not an array", "data=" + PercentEncode("{\"code\":\"1\"}"), "not a JSON array"},
        {"an empty array", "data=%5B%5D", "non-empty"},
        {"a body over 1 MiB", "data=" + std::string(kMaxPostBytes, 'a'), "larger than 1 MiB"},
        {"1001 events", "data=" + PercentEncode("[" + Repeat(good_item + ",", 1000) + good_item + "]"), "more than 1000"},
        {"10^6 events", "data=[" + Repeat("{},", 999999) + "{}]", "larger than 1 MiB"},
        {"JSON nested 10^5 deep", "data=" + std::string(100000, '[') + std::string(100000, ']'), "not JSON"},
        {"info nested deep", "data=" + PercentEncode("[{\"code\":\"11010000\",\"info\":\"" +
                                                                       std::string(60000, '[') + "\"}]"),
         "info is not JSON"},
        {"invalid UTF-8 in data", "data=" + PercentEncode("[\"\xff\xfe\"]"), "not UTF-8"},
        {"overlong UTF-8", "data=" + PercentEncode("[\"\xc0\xaf\"]"), "not UTF-8"},
        {"a lone surrogate escaped in a text", WithInfo({}).substr(0, 5) +
                                                  PercentEncode("[{\"code\":\"11010000\",\"info\":\"{\\\"Errormsg\\\":"
                                                                "\\\"\\\\udc00\\\"}\"}]"),
         "not UTF-8"},
        {"NUL in a text", WithInfo({{"Errormsg", std::string("a\0b", 3)}}), "NUL"},
        {"an extra item member", "data=" + PercentEncode("[{\"code\":\"11010000\",\"info\":\"{}\",\"x\":1}]"),
         "not {code, info}"},
        {"info not a text", "data=" + PercentEncode("[{\"code\":\"11010000\",\"info\":{}}]"), "not a text"},
        {"info not an object", FormBody({{"11010000", "[1]"}}), "not an object"},
        {"a code of letters", WithInfo({}, "1101000a"), "8 digits"},
        {"a code too short", WithInfo({}, "1101"), "8 digits"},
        {"no MachId", WithoutMember("MachId"), "lacks MachId"},
        {"no Sequence", WithoutMember("Sequence"), "lacks Sequence"},
        {"no GVersion", WithoutMember("GVersion"), "lacks GVersion"},
        {"a MachId of 15 digits", WithInfo({{"MachId", "0A1B2C3D4E5F607"}}), "MachId has a bad format"},
        {"a negative sequence", WithInfo({{"Sequence", "-1"}}), "Sequence has a bad format"},
        {"a sequence beyond 64 bits", WithInfo({{"Sequence", "99999999999999999999"}}), "Sequence"},
        {"bytes that are no number", WithInfo({{"Inp2ptotalbytes", "1e9"}}), "Inp2ptotalbytes"},
        {"bytes beyond 2^48", WithInfo({{"Inhttptotalbytes", "281474976710657"}}), "beyond 2^48"},
        {"a bad MAC list", WithInfo({{"Mac", "02-00-00-00-00"}}), "Mac"},
        {"a duplicate member", FormBody({{"11010000", "{\"MachId\":\"0A1B2C3D4E5F6071\",\"MachId\":\"x\"}"}}),
         "not JSON"},
        {"SQL in every field", FormBody({{sql, Compact(ClientInfo(1, sql_everywhere))}}), "8 digits"},
        {"SQL in every identifying field", WithInfo(sql_everywhere), "MachId has a bad format"},
    };
    for (const Case& c : cases) {
        const auto parsed = ParsePost(c.body);
        ASSERT_TRUE(std::holds_alternative<PostRefused>(parsed)) << c.what << " was accepted";
        EXPECT_NE(std::get<PostRefused>(parsed).reason.find(c.reason), std::string::npos)
            << c.what << ": " << std::get<PostRefused>(parsed).reason;
    }
}

TEST(ZlstatsPosts, FreeTextsKeepQuotesAndSqlAsTheyAre) {
    const std::string sql = "x'); DROP TABLE events; -- \"quoted\" \\ ";
    const auto parsed = ParsePost(WithInfo({{"Errormsg", sql}, {"Filename", sql}, {"AppVersion", sql}}));
    ASSERT_TRUE(std::holds_alternative<StatBatch>(parsed)) << std::get<PostRefused>(parsed).reason;
    EXPECT_EQ(std::get<StatBatch>(parsed)[0].error_msg, sql);
    EXPECT_EQ(std::get<StatBatch>(parsed)[0].app_version, sql);
}

TEST(ZlstatsPosts, Utf8Validation) {
    EXPECT_TRUE(ValidUtf8("plain"));
    EXPECT_TRUE(ValidUtf8("网络 \xf0\x9f\x98\x80"));
    EXPECT_FALSE(ValidUtf8("\xe0\x80\xaf"));      // overlong
    EXPECT_FALSE(ValidUtf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(ValidUtf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(ValidUtf8("\xe4\xb8"));          // cut short
}

}  // namespace
}  // namespace zl::stats
