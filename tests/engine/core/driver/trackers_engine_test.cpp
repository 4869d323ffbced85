// A task announces itself through the engine: with the P2P switch on, the
// tracker of its torrent (UDP) and a tracker:// source (HTTP) list it at the
// engine's listening port on a real opentracker, and the engine's UDP server
// runs while the task exists. Skipped when opentracker is not installed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/base/text.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/sha1.h"
#include "engine/net/tracker_answer.h"
#include "engine/net/tracker_http.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/net/opentracker_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

constexpr int32_t kListenPort = 46891;

struct Torrent {
    std::string bytes;
    std::array<uint8_t, 20> hash{};
    std::string escaped;
};

Torrent MakeTorrent(const std::string& name, const std::string& announce) {
    const std::string data(100000, name[0]);
    const std::string info = "d6:lengthi" + std::to_string(data.size()) + "e4:name" + test::BencodedString(name) +
                             "12:piece lengthi16384e6:pieces" + test::BencodedString(test::PieceHashes(data, 16384)) + "e";
    Torrent t;
    t.bytes = "d8:announce" + test::BencodedString(announce) + "4:info" + info + "e";
    const Sha1Digest d = Sha1Of(info.data(), info.size());
    std::copy(d.begin(), d.end(), t.hash.begin());
    t.escaped = PercentEncode(std::string_view(reinterpret_cast<const char*>(t.hash.data()), 20), PercentKeep::kAlnum);
    return t;
}

bool Listed(test::OpenTracker& tracker, const Torrent& t, uint16_t port) {
    const TrackerAnswer answer = ParseTrackerAnswer(tracker.ListedPeers(t.escaped));
    for (const TrackerPeerEntry& p : answer.peers)
        if (p.port == port) return true;
    return false;
}

TEST(TaskTrackersEngine, ATaskAnnouncesOverUdpAndHttpWhileP2PIsOn) {
    if (!test::HaveOpenTracker()) GTEST_SKIP() << "opentracker is not installed";
    const Torrent by_udp = MakeTorrent("udp.bin", "udp://127.0.3.50:1/announce");  // port set below
    const Torrent by_http = MakeTorrent("http.bin", "");
    test::OpenTracker tracker(test::Hex(by_udp.hash) + "\n" + test::Hex(by_http.hash));
    ASSERT_TRUE(tracker.up());
    ASSERT_TRUE(tracker.WaitListed(by_udp.escaped));
    ASSERT_TRUE(tracker.WaitListed(by_http.escaped));
    const Torrent udp_torrent =
        MakeTorrent("udp.bin", "udp://127.0.3.50:" + std::to_string(tracker.udp_port()) + "/announce");

    test::TempDir dir;
    EngineContext engine;
    UdpServerConfig udp;
    udp.SetRendezvousHost("127.0.3.9");
    udp.rendezvous_port = 82;
    udp.keep_alive_interval = 52;
    udp.connect_timeout = 30;
    udp.local_port = 0;
    engine.SetUdpServerConfig(udp);
    engine.GetUdpServer().SetBindAddress(inet_addr("127.0.3.61"));
    ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
    ASSERT_EQ(EngineSetListenPort(engine, kListenPort), ENGINE_OK);
    ASSERT_EQ(EngineSetP2PSwitch(engine, 1), ENGINE_OK);

    const std::string http_source = "tracker://http://127.0.3.50:" + std::to_string(tracker.tcp_port()) + "/announce";
    auto a = test::Descriptor(kTaskFlagP2sp, "file://" + dir.File("udp.torrent", udp_torrent.bytes), "",
                              dir.path() + "/a");
    auto b = test::Descriptor(kTaskFlagP2sp, "file://" + dir.File("http.torrent", by_http.bytes), http_source.c_str(),
                              dir.path() + "/b");
    ASSERT_EQ(TaskCreateAndStart(engine, a.get()), ENGINE_OK);
    ASSERT_EQ(TaskCreateAndStart(engine, b.get()), ENGINE_OK);

    bool udp_listed = false, http_listed = false;
    (void)test::WaitFor(
        [&] {
            udp_listed = udp_listed || Listed(tracker, udp_torrent, kListenPort);
            http_listed = http_listed || Listed(tracker, by_http, kListenPort);
            return udp_listed && http_listed;
        },
        std::chrono::seconds(15), std::chrono::milliseconds(50));
    EXPECT_TRUE(udp_listed);
    EXPECT_TRUE(http_listed);
    EXPECT_NE(engine.GetUdpServer().BoundPort(), 0);
    EXPECT_TRUE(engine.GetUdpServer().IsRunning());

    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
    EXPECT_FALSE(engine.GetUdpServer().IsRunning());
}

}  // namespace
}  // namespace zl
