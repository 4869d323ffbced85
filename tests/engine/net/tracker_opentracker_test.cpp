// The tracker peer against a real opentracker on 127.0.3.50, announced to
// over HTTP and over UDP (skipped when opentracker is not installed). Each
// test starts its own tracker on free ports and stops it, also on failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/base/text.h"
#include "engine/net/tracker_http.h"
#include "engine/net/udp_socket.h"
#include "opentracker_support.h"
#include "tracker_test_support.h"

namespace zl {
namespace {

using test::Ip4;
using test::TrackerTestTask;
using test::OpenTracker;
using test::kTrackerAddress;
using test::Hex;

class OpenTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/opentracker", X_OK) != 0) GTEST_SKIP() << "opentracker is not installed";
        task.facts.escaped_info_hash =
            PercentEncode(std::string_view(reinterpret_cast<const char*>(task.facts.info_hash.data()), 20), PercentKeep::kAlnum);
    }
    RefPtr<TPeerId> Tracker(uint16_t port, bool tcp) {
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId(std::string("tracker://") + (tcp ? "http" : "udp") + "://" +
                                                     kTrackerAddress + ":" + std::to_string(port) + "/announce"));
        id->kind = kKindTracker;
        id->address = Ip4(kTrackerAddress);
        id->port = port;
        id->tracker_over_tcp = tcp;
        id->parsed = true;
        id->Source().host = kTrackerAddress;
        id->Source().path = "/announce";
        return id;
    }
    bool Announce(TrackerTestTask& t, uint16_t port, bool tcp, int max_ms = 3000) {
        auto id = Tracker(port, tcp);
        auto peer = RefPtr<TTrackerPeer>::Adopt(new TTrackerPeer(t, t, SocketEnv{}));
        peer->Reset();
        if (!peer->AttachIdentity(id.get())) return false;
        for (int i = 0; i < max_ms; ++i) {
            if (!peer->DownloadPass()) break;
            usleep(1000);
        }
        return peer->answered();
    }
    TrackerTestTask task;
};

// Two announces, one over each protocol: the second learns of the first.
TEST_F(OpenTrackerTest, HttpAndUdpAnnouncesFindEachOther) {
    OpenTracker tracker(Hex(task.facts.info_hash));
    ASSERT_TRUE(tracker.up());
    ASSERT_TRUE(tracker.WaitListed(task.facts.escaped_info_hash));

    TrackerTestTask first;
    first.facts = task.facts;
    first.facts.listen_port = 46881;
    ASSERT_TRUE(Announce(first, tracker.tcp_port(), true));
    EXPECT_EQ(first.answers, 1);
    EXPECT_GE(first.figures.interval, 61);

    task.facts.listen_port = 46882;
    ASSERT_TRUE(Announce(task, tracker.udp_port(), false));
    bool found = false;
    for (const auto& c : task.candidates) found = found || (c.port == 46881 && c.kind == kKindNode);
    EXPECT_TRUE(found) << task.candidates.size() << " candidates";

    // And back over HTTP: the UDP announcer is listed too, in a dictionary or compact list.
    TrackerTestTask third;
    third.facts = task.facts;
    third.facts.listen_port = 46883;
    ASSERT_TRUE(Announce(third, tracker.tcp_port(), true));
    found = false;
    for (const auto& c : third.candidates) found = found || c.port == 46882;
    EXPECT_TRUE(found);
}

// A torrent the tracker does not carry: the failure dictionary is an answer
// without peers over HTTP; over UDP the error is ignored and the exchange
// waits (the task gives up on it later).
TEST_F(OpenTrackerTest, AnUnlistedTorrentGetsNoPeers) {
    std::array<uint8_t, 20> other{};
    other.fill(0x42);
    OpenTracker tracker(Hex(other));
    ASSERT_TRUE(tracker.up());
    ASSERT_TRUE(tracker.WaitListed(PercentEncode(std::string_view(reinterpret_cast<const char*>(other.data()), 20), PercentKeep::kAlnum)));
    // The torrent announced is not the listed one.
    EXPECT_TRUE(Announce(task, tracker.tcp_port(), true));
    EXPECT_TRUE(task.candidates.empty());
    EXPECT_EQ(task.figures.interval, 600);
    EXPECT_FALSE(Announce(task, tracker.udp_port(), false, 300));  // its short refusal is no answer
}

}  // namespace
}  // namespace zl
