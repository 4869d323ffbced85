// The statistics component against the real sink (tools/stats-sink) on loopback.
#include "telemetry/data_statistics.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include "telemetry/default_config.h"
#include "telemetry/event_body.h"
#include "telemetry/ini_reader.h"
#include "telemetry/form_poster.h"
#include "tests/telemetry/telemetry_test_support.h"

namespace zl {
namespace {

using test::StatsSink;
using test::TempDir;
using test::WriteFile;

UploadTexts Texts() { return {"TV", "1.2.3.4", "5.6", "web"}; }

std::string Body(const std::string& error = "") {
    EventValues values;
    values.error_message = error;
    return BuildEventBody(Texts(), values, EventIncreases{});
}

InventorySources FixtureSources(const std::string& root) {
    test::MakeInventoryFixture(root);
    InventorySources s;
    s.root = root;
    s.machine = "x86_64";
    s.kernel_release = "6.1.0-18-amd64";
    s.locale = "en_US.UTF-8";
    s.volume_serial = 0xA1B2C3D4;
    return s;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors << "\n" << text;
    return value;
}

TEST(EventBody, ExactMembersWithEveryValueEscaped) {
    EventValues v;
    v.server_ip = "127.0.5.9";
    v.http_result = "206";
    v.total_time = 100;
    v.total_bytes = 5000;
    v.average_speed = 50;
    v.progress = "12.5%";
    v.http_bytes = 3000;
    v.http_speed = 30;
    v.p2p_bytes = 2000;
    v.p2p_speed = 20;
    v.corrupt_pak_id = 3;
    v.file_name = "C:\\x\"y";
    v.url = "http://a/b?c=d&e";
    v.error_message = "line1\nline2 \xe4\xb8\xad";
    IncreaseTracker tracker;
    EXPECT_EQ(BuildEventBody(Texts(), v, tracker.Next(v)),
              ",\"DVersion\":\"1.8\",\"GameID\":\"TV\",\"AppVersion\":\"1.2.3.4\",\"GVersion\":\"5.6\","
              "\"Dchannel\":\"web\",\"Serverip\":\"127.0.5.9\",\"Httpresult\":\"206\",\"Totaltime\":\"100\","
              "\"Intime\":\"100\",\"Totalbytes\":\"5000\",\"Intotalbytes\":\"5000\",\"Averagespeed\":\"50\","
              "\"Progress\":\"12.5%\",\"Httptotalbytes\":\"3000\",\"Inhttptotalbytes\":\"3000\","
              "\"Httpaveragespeed\":\"30\",\"P2ptotalbytes\":\"2000\",\"Inp2ptotalbytes\":\"2000\","
              "\"P2paveragespeed\":\"20\",\"Corruptpakid\":\"3\",\"Filename\":\"C:\\\\x\\\"y\","
              "\"Url\":\"http://a/b?c=d&e\",\"Errormsg\":\"line1\\nline2 \\u4e2d\"");
    // Inside braces it is one valid object whatever the values held.
    const Json::Value object = ParseJson("{\"x\":1" + BuildEventBody(Texts(), v, {}) + "}");
    EXPECT_EQ(object["Filename"].asString(), "C:\\x\"y");
    EXPECT_EQ(object["Errormsg"].asString(), "line1\nline2 \xe4\xb8\xad");
}

TEST(EventBody, IncreasesAgainstTheLastNonZeroValue) {
    struct Step {
        uint32_t time;
        uint64_t total, http, p2p;
        const char *in_time, *in_total, *in_http, *in_p2p;
    } steps[] = {
        {100, 5000, 3000, 2000, "100", "5000", "3000", "2000"},
        {150, 5000, 0, 2500, "50", "0", "0", "500"},   // equal gives 0; a zero keeps the previous value
        {120, 6000, 3500, 0, "0", "1000", "500", "0"},  // smaller gives 0 and becomes the previous value
        {130, 6000, 3500, 2600, "10", "0", "0", "100"},
    };
    IncreaseTracker tracker;
    for (const Step& s : steps) {
        EventValues v;
        v.total_time = s.time;
        v.total_bytes = s.total;
        v.http_bytes = s.http;
        v.p2p_bytes = s.p2p;
        const EventIncreases in = tracker.Next(v);
        EXPECT_EQ(in.time, s.in_time);
        EXPECT_EQ(in.total_bytes, s.in_total);
        EXPECT_EQ(in.http_bytes, s.in_http);
        EXPECT_EQ(in.p2p_bytes, s.in_p2p);
    }
}

TEST(StatisticsAddEvent, Results) {
    TempDir dir;
    CDataStatisticsImp stats(std::make_unique<CurlFormPoster>(), FixtureSources(dir / "root"));
    stats.SetConfigFile(dir / "missing.ini");
    EXPECT_EQ(stats.AddEvent("", Body(), 0), kStatFailed);
    EXPECT_EQ(stats.AddEvent("11390000", "", 0), kStatFailed);
    EXPECT_EQ(stats.AddEvent("11390000", Body(), 0), kStatNoConfig);

    WriteFile(dir / "Serverlist.ini", test::ConfigText({}));
    stats.SetConfigFile(dir / "Serverlist.ini");
    std::string without_gversion = Body();
    without_gversion.replace(without_gversion.find("GVersion"), 8, "Gxersion");
    // Refusals do not count towards the batch: 25 of them leave room for 20 events.
    for (int i = 0; i < 25; ++i) EXPECT_EQ(stats.AddEvent("11390000", without_gversion, 0), kStatMissingKeyword);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(stats.AddEvent("11390000", Body(), 0), kStatOk) << i;
    EXPECT_EQ(stats.AddEvent("11390000", Body(), 0), kStatBatchFull);  // the 21st
    EXPECT_EQ(stats.BatchSize(), 20u);

    // No URL takes it: the batch is dropped and the count starts again.
    EXPECT_EQ(stats.SubmitEventDownloadSeveral(), kStatFailed);
    EXPECT_EQ(stats.BatchSize(), 0u);
    EXPECT_EQ(stats.AddEvent("11390000", Body(), 0), kStatOk);
}

TEST(StatisticsBatch, ExactFormBody) {
    TempDir dir;
    CDataStatisticsImp stats(std::make_unique<CurlFormPoster>(), FixtureSources(dir / "root"));
    WriteFile(dir / "Serverlist.ini", test::ConfigText({}));
    stats.SetConfigFile(dir / "Serverlist.ini");
    stats.SetSessionId("S1");
    const std::string body = Body("a \"quoted\" & 100% \xe4\xb8\xad");
    ASSERT_EQ(stats.AddEvent("11390000", body, 0), kStatOk);
    ASSERT_EQ(stats.AddEvent("11500105", body, kInventoryCpu), kStatOk);

    const std::optional<std::string> form = stats.BuildBatchBody();
    ASSERT_TRUE(form);
    ASSERT_EQ(form->rfind("data=", 0), 0u);
    EXPECT_EQ(form->find_first_of(" &\"{}+", 5), std::string::npos);  // fully percent-encoded
    const Json::Value array = ParseJson(PercentDecode(form->substr(5)));
    ASSERT_TRUE(array.isArray());
    ASSERT_EQ(array.size(), 2u);
    EXPECT_EQ(array[0]["code"].asString(), "11390000");
    EXPECT_EQ(array[0]["info"].asString(),
              "{\"Mac\":\"10-20-30-40-50-60\",\"MachId\":\"C220D1145012D4C3\",\"OS\":\"610641\","
              "\"Sequence\":\"0\",\"Sessionid\":\"S1\"" + body + "}");
    const Json::Value second = ParseJson(array[1]["info"].asString());
    EXPECT_EQ(second["Sequence"].asString(), "1");
    EXPECT_EQ(second["CPU"]["CPU_Name"].asString(), "Test CPU @ 3.00GHz");
    EXPECT_EQ(second["Errormsg"].asString(), "a \"quoted\" & 100% \xe4\xb8\xad");
}

TEST(StatisticsAnswer, AcceptsOnlyErrorZero) {
    EXPECT_TRUE(AnswerAccepted("{\"error\":0}"));
    EXPECT_TRUE(AnswerAccepted("{\"msg\":\"x\",\"error\": 0,\"n\":1}"));
    EXPECT_FALSE(AnswerAccepted("{\"error\":1}"));
    EXPECT_FALSE(AnswerAccepted("{\"error\":01}"));
    EXPECT_FALSE(AnswerAccepted("{\"error\":0.5}"));
    EXPECT_FALSE(AnswerAccepted(""));
    EXPECT_FALSE(AnswerAccepted("\"error\":"));
}

TEST(StatisticsConfig, BuiltInConfigurationAndIniSemantics) {
    const IniReader config = IniReader::Parse(DefaultStatisticsConfig("127.0.5.3:8080"));
    EXPECT_EQ(SubmitUrls(config, "SubmitEventDownloadSeveral"),
              (std::vector<std::string>{"http://127.0.5.3:8080/zlsubmit/eventListSubmit"}));
    EXPECT_EQ(SubmitUrls(config, "SubmitEventDownload"),
              (std::vector<std::string>{"http://127.0.5.3:8080/zlsubmit/eventInfoSubmit"}));
    EXPECT_EQ(config.GetString("ostypecode", "win_7_sp1"), "611");

    // Names without case, first match wins, quotes and blanks go, the URL list ends at a gap.
    const IniReader ini = IniReader::Parse(
        "k=outside\r\n[S]\r\n; SubmitUrl=commented\r\n SUBMITURL = \"http://a\" \r\nsubmiturl1=http://b\n"
        "SubmitUrl1=http://ignored\nSubmitUrl3=http://after-gap\n[T\nx=1\n");
    EXPECT_EQ(SubmitUrls(ini, "s"), (std::vector<std::string>{"http://a", "http://b"}));
    EXPECT_FALSE(ini.Get("", "k"));
    EXPECT_EQ(ini.GetString("S", "missing", "fallback"), "fallback");
}

class StatisticsSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        stats_ = std::make_unique<CDataStatisticsImp>(std::make_unique<CurlFormPoster>(), FixtureSources(dir_ / "root"));
        stats_->SetConfigFile(dir_ / "Serverlist.ini");
        stats_->SetPostLimits({1000, 1000});
    }
    void Config(const std::vector<std::string>& urls) { WriteFile(dir_ / "Serverlist.ini", test::ConfigText(urls)); }
    void Add(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(stats_->AddEvent("1139000" + std::to_string(i), Body(), 0), kStatOk);
    }

    TempDir dir_;
    std::unique_ptr<CDataStatisticsImp> stats_;
};

TEST_F(StatisticsSinkTest, SinkReceivesEveryEventWithItsInfo) {
    StatsSink sink(dir_ / "sink.log");
    Config({sink.Url()});
    stats_->SetSessionId("S1");
    Add(3);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatOk);
    Add(1);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatOk);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatFailed);  // nothing to send
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i]["path"].asString(), "/zlsubmit/eventListSubmit");
        EXPECT_EQ(events[i]["info"]["Sequence"].asString(), std::to_string(i));
        EXPECT_EQ(events[i]["info"]["MachId"].asString(), "C220D1145012D4C3");
        EXPECT_EQ(events[i]["info"]["Sessionid"].asString(), "S1");
        EXPECT_EQ(events[i]["info"]["GVersion"].asString(), "5.6");
    }
    EXPECT_EQ(events[3]["code"].asString(), "11390000");
}

TEST_F(StatisticsSinkTest, RefusingServerPassesTheBatchToTheNextUrl) {
    StatsSink refusing(dir_ / "refusing.log", "error");
    StatsSink accepting(dir_ / "accepting.log", "ok", "127.0.5.2");
    Config({refusing.Url(), accepting.Url()});
    Add(2);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatOk);
    EXPECT_EQ(refusing.Lines().size(), 1u);
    EXPECT_EQ(accepting.Events().size(), 2u);
}

TEST_F(StatisticsSinkTest, BatchIsDroppedWhenNoUrlAcceptsIt) {
    StatsSink refusing(dir_ / "refusing.log", "error");
    int closed_port;
    {
        StatsSink gone(dir_ / "gone.log");
        closed_port = gone.Port();
    }
    Config({refusing.Url(), "http://127.0.5.1:" + std::to_string(closed_port) + "/zlsubmit/eventListSubmit"});
    Add(2);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatFailed);
    EXPECT_EQ(stats_->BatchSize(), 0u);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatFailed);  // not retried
    EXPECT_EQ(refusing.Lines().size(), 1u);
}

TEST_F(StatisticsSinkTest, HangingServerIsLeftAtTheTimeLimit) {
    StatsSink hanging(dir_ / "hanging.log", "hang");
    StatsSink accepting(dir_ / "accepting.log", "ok", "127.0.5.2");
    Config({hanging.Url(), accepting.Url()});
    Add(1);
    EXPECT_EQ(stats_->SubmitEventDownloadSeveral(), kStatOk);
    EXPECT_EQ(hanging.Lines().size(), 1u);
    EXPECT_EQ(accepting.Events().size(), 1u);
}

}  // namespace
}  // namespace zl
