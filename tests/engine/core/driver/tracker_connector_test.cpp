// The task's tracker connector against scripted HTTP trackers on 127.0.3.x:
// which trackers are asked when (the P2P switch, the 600-second rule, the
// torrent's list and tracker:// sources) and their answers as candidates.
#include <gtest/gtest.h>

#include "engine/core/driver/tracker_connector.h"
#include "engine/net/resolver.h"
#include "engine/net/source_url.h"
#include "tests/engine/net/fake_resolver.h"
#include "tests/engine/net/tracker_test_support.h"

namespace zl {
namespace {

using test::Compact;
using test::HttpReply;
using test::ScriptedHttpTracker;
using test::TrackerTestTask;

std::string AnswerBody(const std::string& peers) {
    return "d8:intervali1800e5:peers" + std::to_string(peers.size()) + ":" + peers + "e";
}

class TrackerConnectorTest : public ::testing::Test {
protected:
    TrackerConnectorTest() {
        TaskTrackerConnector::Hooks hooks;
        hooks.view = [this](TaskTrackerView* out) {
            out->p2p = p2p;
            out->urls = urls;
            out->facts = task.facts;
            return true;
        };
        hooks.parse = [this](TPeerId& id) { return ParseSourceUrl(id, resolver); };
        hooks.socket_env = [] { return SocketEnv{}; };
        hooks.host_unresolved = [this] { ++unresolved; };
        connector = std::make_unique<TaskTrackerConnector>(task, std::move(hooks));
    }
    ~TrackerConnectorTest() override { connector->CloseAll(); }

    // Runs passes over `seconds` of the test clock, a few real milliseconds
    // each so that loopback exchanges complete.
    void RunSeconds(int seconds) {
        for (int s = 0; s < seconds; ++s) {
            for (int i = 0; i < 30; ++i) {
                connector->Pass(task.EngineSeconds());
                if (connector->ActiveCount() == 0 && i > 2) break;
                usleep(300);
            }
            task.fake_clock.Advance(1000);
        }
    }
    std::string Url(const ScriptedHttpTracker& t, const std::string& path = "/announce") {
        return "http://127.0.3.10:" + std::to_string(t.port()) + path;
    }

    TrackerTestTask task;
    // Names never reach a name server: only the table answers.
    TResolver resolver{std::make_shared<test::TableResolver>()};
    bool p2p = true;
    std::vector<std::string> urls;
    int unresolved = 0;
    std::unique_ptr<TaskTrackerConnector> connector;
};

TEST_F(TrackerConnectorTest, NothingIsAskedWhileP2POff) {
    ScriptedHttpTracker tracker(HttpReply("200 OK", AnswerBody(Compact({{"127.0.3.20", 6881}}))));
    urls = {Url(tracker)};
    p2p = false;
    RunSeconds(5);
    EXPECT_EQ(tracker.requests(), 0);
    EXPECT_EQ(connector->Trackers().size(), 1u);  // known, not asked
    p2p = true;
    RunSeconds(2);
    EXPECT_EQ(tracker.requests(), 1);
}

TEST_F(TrackerConnectorTest, TheTorrentsTrackersAreAskedAtMostEvery600Seconds) {
    ScriptedHttpTracker tracker(
        HttpReply("200 OK", AnswerBody(Compact({{"127.0.3.20", 6881}, {"127.0.3.21", 6882}}))));
    // An empty announce entry and a scheme no tracker speaks are left out.
    urls = {"", Url(tracker), "gopher://127.0.3.10/x"};
    RunSeconds(3);
    EXPECT_EQ(tracker.requests(), 1);
    EXPECT_EQ(connector->Trackers().size(), 1u);
    ASSERT_EQ(task.candidates.size(), 2u);
    EXPECT_EQ(task.candidates[0].text, "btnode://127.0.3.20:6881");
    EXPECT_EQ(connector->figures().answers, 1);
    EXPECT_EQ(connector->figures().interval, 1800);
    EXPECT_EQ(connector->figures().peers, 2);

    RunSeconds(590);
    EXPECT_EQ(tracker.requests(), 1);
    RunSeconds(10);
    EXPECT_EQ(tracker.requests(), 2);
}

TEST_F(TrackerConnectorTest, TrackerSourcesJoinAndFailuresWaitTheirTurn) {
    ScriptedHttpTracker good(HttpReply("200 OK", AnswerBody(Compact({{"127.0.3.22", 7000}}))));
    ScriptedHttpTracker failing(HttpReply("500 Internal Server Error", "oops"), "127.0.3.11");
    connector->AddSources({"http://127.0.3.10/not-a-tracker", "TRACKER://" + Url(good, "/ann?passkey=abc"),
                           "tracker://http://127.0.3.11:" + std::to_string(failing.port()) + "/announce"});
    EXPECT_EQ(connector->Trackers().size(), 2u);
    RunSeconds(3);
    EXPECT_EQ(good.requests(), 1);
    EXPECT_NE(good.request().find("GET /ann?passkey=abc&info_hash="), std::string::npos);
    EXPECT_EQ(failing.requests(), 1);
    EXPECT_EQ(task.candidates.size(), 1u);
    RunSeconds(120);
    EXPECT_EQ(failing.requests(), 1);  // a failed tracker too waits its 600 s
}

TEST_F(TrackerConnectorTest, AnUnresolvableTrackerIsReported) {
    urls = {"http://tracker.invalid:6969/announce"};
    RunSeconds(1);
    EXPECT_EQ(unresolved, 1);
    EXPECT_EQ(connector->Trackers().size(), 0u);
}

}  // namespace
}  // namespace zl
