// The uploader thread and the process-wide event call, against the real sink.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "engine/base/fake_clock.h"
#include "telemetry/data_upload.h"
#include "telemetry/report_event.h"
#include "tests/telemetry/telemetry_test_support.h"

namespace zl {
namespace {

using test::StatsSink;
using test::TempDir;
using test::WriteFile;

class UploadTest : public ::testing::Test {
protected:
    TelemetrySettings Settings(const std::vector<std::string>& urls) {
        WriteFile(dir_ / "Serverlist.ini", test::ConfigText(urls));
        TelemetrySettings s;
        s.config_path = dir_ / "Serverlist.ini";
        s.texts = {"TV", "1.2.3.4", "5.6", "web"};
        s.limits = {1000, 1000};
        s.final_limits = {500, 500};
        InventorySources sources;
        sources.root = test::MakeInventoryFixture(dir_ / "root");
        sources.volume_serial = 7;
        s.inventory = sources;
        s.clock = &clock_;
        return s;
    }
    // Moves the fake clock one drain interval on once the uploader sleeps.
    void NextDrain() {
        ASSERT_TRUE(test::WaitFor([&] { return clock_.Sleepers() > 0; }));
        clock_.Advance(1000);
    }

    TempDir dir_;
    FakeClock clock_{FakeClock::Mode::Manual};
};

TEST_F(UploadTest, DefaultTimeLimitsAreSixSeconds) {
    TelemetrySettings defaults;
    EXPECT_EQ(defaults.limits.connect_ms, 6000u);
    EXPECT_EQ(defaults.limits.total_ms, 6000u);
    EXPECT_EQ(defaults.drain_interval_ms, 1000u);
}

TEST_F(UploadTest, BurstIsPostedInBatchesOfTwentyWithinOneDrain) {
    StatsSink sink(dir_ / "sink.log");
    DataUpload upload(Settings({sink.Url()}));
    ASSERT_TRUE(upload.Ready());
    ASSERT_TRUE(upload.Start("CollectDataUpload"));
    std::thread a([&] { for (int i = 0; i < 25; ++i) upload.Report("11000001", {}, 0); });
    std::thread b([&] { for (int i = 0; i < 25; ++i) upload.Report("11000002", {}, 0); });
    a.join();
    b.join();
    EXPECT_EQ(upload.QueuedEvents(), 50u);
    NextDrain();
    ASSERT_TRUE(sink.WaitForEvents(50));
    std::set<std::string> sequences;
    for (const auto& event : sink.Events()) sequences.insert(event["info"]["Sequence"].asString());
    EXPECT_EQ(sequences.size(), 50u);
    upload.Stop();
}

TEST_F(UploadTest, StopPostsWhatIsStillQueued) {
    StatsSink sink(dir_ / "sink.log");
    DataUpload upload(Settings({sink.Url()}));
    ASSERT_TRUE(upload.Start("CollectDataUpload"));
    EventValues exit_values;
    exit_values.error_message = "exit";
    upload.Report("11040000", exit_values, 0);
    upload.Stop();  // no drain interval has passed
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["code"].asString(), "11040000");
    EXPECT_EQ(events[0]["info"]["Errormsg"].asString(), "exit");
}

TEST_F(UploadTest, HangingServerNeverStallsTheReporter) {
    StatsSink hanging(dir_ / "hanging.log", "hang");
    TelemetrySettings settings = Settings({hanging.Url()});
    settings.limits = {2000, 2000};
    DataUpload upload(std::move(settings));
    ASSERT_TRUE(upload.Start("CollectDataUpload"));
    upload.Report("11000001", {}, 0);
    NextDrain();
    ASSERT_TRUE(hanging.WaitForLines(1, [](const Json::Value& l) { return l.isMember("hung"); }));
    // The uploader is inside its post now; reporting goes on regardless.
    for (int i = 0; i < 1000; ++i) upload.Report("11000002", {}, 0);
    EXPECT_EQ(upload.QueuedEvents(), 1000u);
    upload.Stop();
}

TEST_F(UploadTest, StopDuringALongDrainWaitsForOnePostNotForEveryBatch) {
    StatsSink hanging(dir_ / "hanging.log", "hang", "127.0.107.1");
    TelemetrySettings settings = Settings({hanging.Url()});
    settings.limits = {3000, 3000};
    DataUpload upload(std::move(settings));
    ASSERT_TRUE(upload.Start("CollectDataUpload"));
    for (int i = 0; i < 100; ++i) upload.Report("11000001", {}, 0);  // five batches in one drain
    NextDrain();
    const auto hung = [](const Json::Value& l) { return l.isMember("hung"); };
    ASSERT_TRUE(hanging.WaitForLines(1, hung));
    upload.Stop();
    // The post under way runs out, then the exit drain tries once with its
    // short limits and gives up: the other batches are not waited out.
    size_t posts = 0;
    for (const Json::Value& line : hanging.Lines()) posts += hung(line) ? 1 : 0;
    EXPECT_LE(posts, 2u);
}

TEST_F(UploadTest, ProcessWideCallDropsEventsUntilTheUploaderIsReady) {
    StatsSink sink(dir_ / "sink.log");
    EXPECT_FALSE(TelemetryReady());
    ReportEventText("11400190", "before start");  // dropped (and logged)

    TelemetrySettings incomplete = Settings({sink.Url()});
    incomplete.texts.gversion.clear();
    ASSERT_TRUE(StartTelemetry(incomplete));
    EXPECT_FALSE(TelemetryReady());
    ReportEventText("11400191", "not ready");
    StopTelemetry();
    EXPECT_TRUE(sink.Events().empty());

    ASSERT_TRUE(StartTelemetry(Settings({sink.Url()})));
    EXPECT_FALSE(StartTelemetry(Settings({sink.Url()})));  // once
    EXPECT_TRUE(TelemetryReady());
    EXPECT_EQ(TelemetryIdentifierText().size(), 16u);
    ReportEvent("11030000", "127.0.5.9", "200", 10, 1000, 100, "50%", 600, 60, 400, 40, 0, "", "", "", 0);
    ReportEventText("11390001", "text only");
    ReportEventFile("11400101", "/tmp/x \"y\".torrent", "file");
    NextDrain();
    ASSERT_TRUE(sink.WaitForEvents(3));
    StopTelemetry();
    ReportEventText("11400192", "after stop");  // dropped
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["code"].asString(), "11030000");
    EXPECT_EQ(events[0]["info"]["Intotalbytes"].asString(), "1000");
    EXPECT_EQ(events[0]["info"]["Progress"].asString(), "50%");
    EXPECT_EQ(events[1]["info"]["Errormsg"].asString(), "text only");
    EXPECT_EQ(events[1]["info"]["Totalbytes"].asString(), "0");
    EXPECT_EQ(events[2]["info"]["Filename"].asString(), "/tmp/x \"y\".torrent");
}

}  // namespace
}  // namespace zl
