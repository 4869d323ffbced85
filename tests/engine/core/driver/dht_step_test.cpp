// A task's DHT step against two DHT nodes on the simulated network and the
// test clock: when it runs, which node:// sources it pings, the peers it hands
// to the task, and when a done lookup runs again.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "engine/core/driver/dht_step.h"
#include "tests/engine/udp/kad_test_support.h"

namespace zl {
namespace {

using namespace std::string_literals;

class TaskDhtStepTest : public ::testing::Test {
protected:
    TaskDhtStepTest() {
        // The task's node knows the other one, which has answered.
        a.node->Begin();
        b.node->Begin();
        a.node->Table().Insert(KadNode(b.node->OwnNodeId(), b.address, b.port), true, false, a.node->Now());
        view.dht_switch = true;
        view.uses_peer_sources = true;
        hash.ToBytes(view.info_hash.data());
        view.listen_port = 6881;
        TaskDhtStep::Hooks hooks;
        hooks.view = [this](TaskDhtView* out) {
            *out = view;
            return true;
        };
        hooks.dht_node = [this]() -> std::shared_ptr<CKademlia> { return dht_on ? a.node : nullptr; };
        hooks.resolve = [](const std::string& host) { return uint32_t(inet_addr(host.c_str())); };
        hooks.add_bt_peer = [this](uint32_t address, uint16_t port) { found.emplace_back(address, port); };
        step = std::make_unique<TaskDhtStep>(std::move(hooks));
    }
    ~TaskDhtStepTest() override {
        step.reset();
        a.node->End();
        b.node->End();
    }
    uint64_t Now() { return clock.TickMs() / 1000; }
    // One second: five passes of both nodes, the step once.
    void Second() {
        step->Step(Now());
        for (int i = 0; i < 5; ++i) {
            a.node->Pass();
            b.node->Pass();
            net.DeliverQueued();
            net.DeliverQueued();
            clock.Advance(200);
        }
    }

    FakeClock clock;
    test::KadSimNetwork net;
    test::SimKadNode a{net, clock, "127.0.7.90", 7000};
    test::SimKadNode b{net, clock, "127.0.7.91", 7000};
    const KadId hash = KadId::Fresh(77);
    TaskDhtView view;
    bool dht_on = true;
    std::vector<std::pair<uint32_t, uint16_t>> found;
    std::unique_ptr<TaskDhtStep> step;
};

TEST_F(TaskDhtStepTest, NothingHappensWhileOffIdleWithoutAnInfoHashOrWithoutTheDht) {
    struct Case {
        const char* what;
        std::function<void(TaskDhtView&, bool&)> change;
    } cases[] = {
        {"switch off", [](TaskDhtView& v, bool&) { v.dht_switch = false; }},
        {"no peer sources", [](TaskDhtView& v, bool&) { v.uses_peer_sources = false; }},
        {"zero info hash", [](TaskDhtView& v, bool&) { v.info_hash = {}; }},
        {"DHT not running", [](TaskDhtView&, bool& on) { on = false; }},
    };
    for (const Case& c : cases) {
        const TaskDhtView saved = view;
        c.change(view, dht_on);
        Second();
        EXPECT_FALSE(step->Lookup()) << c.what;
        EXPECT_EQ(a.node->Stats().lookups, 0u) << c.what;
        view = saved;
        dht_on = true;
    }
}

TEST_F(TaskDhtStepTest, AtMostSixNodeSourcesArePingedOnceTheRoutersAside) {
    a.node->SetRouters({{"127.0.7.99", 6881}});
    view.dht_node_sources = {"http://127.0.7.5/file", "node://127.0.7.99:6881", "NODE://127.0.7.100:1/",
                             "node://bad", "node://127.0.7.101:0"};
    for (int i = 0; i < 8; ++i) view.dht_node_sources.push_back("node://127.0.7." + std::to_string(110 + i) + ":7000");
    step->Step(Now());
    EXPECT_EQ(a.node->Stats().bootstrap_pings, TaskDhtStep::kMaxDhtNodeSources);
    step->Step(Now());
    EXPECT_EQ(a.node->Stats().bootstrap_pings, TaskDhtStep::kMaxDhtNodeSources);
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(ParseDhtNodeSource("NODE://127.0.7.100:1/", &host, &port));
    EXPECT_EQ(host, "127.0.7.100");
    EXPECT_EQ(port, 1);
    EXPECT_FALSE(ParseDhtNodeSource("node://127.0.7.100:65536", &host, &port));
    EXPECT_FALSE(ParseDhtNodeSource("node://:80", &host, &port));
}

TEST_F(TaskDhtStepTest, FoundPeersReachTheTaskAndItAnnouncesItsPort) {
    b.node->PeerStore().Store(hash, inet_addr("127.0.7.92"), 51413, b.node->Now());
    for (int s = 0; s < 5 && !(step->Lookup() && step->Lookup()->IsDone()); ++s) Second();
    ASSERT_TRUE(step->Lookup()->IsDone());
    Second();  // the step takes what came in last
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], std::make_pair(uint32_t(inet_addr("127.0.7.92")), uint16_t(51413)));
    // The other node now holds the task's own announce too.
    EXPECT_NE(b.node->PeerStore().PlainPeers(hash, b.node->Now()).find("\x7f\x00\x07\x5a\x1a\xe1"s), std::string::npos);
    EXPECT_EQ(a.node->Stats().lookups, 0u);  // done: out of the DHT, still the task's
    step->Stop();
    EXPECT_FALSE(step->Lookup());
}

TEST_F(TaskDhtStepTest, PeersWithoutAUsableAddressOrPortNeverReachTheTask) {
    // A hostile node's "values": the broadcast address, address 0 and port 0
    // next to one real peer. Only the real one may become a candidate.
    const uint32_t real = inet_addr("127.0.107.20");
    b.node->PeerStore().Store(hash, real, 51413, b.node->Now());
    b.node->PeerStore().Store(hash, 0xFFFFFFFFu, 6881, b.node->Now());
    b.node->PeerStore().Store(hash, 0xFFFFFFFFu, 6882, b.node->Now());
    b.node->PeerStore().Store(hash, 0, 6883, b.node->Now());
    b.node->PeerStore().Store(hash, inet_addr("127.0.107.21"), 0, b.node->Now());
    for (int s = 0; s < 5 && !(step->Lookup() && step->Lookup()->IsDone()); ++s) Second();
    ASSERT_TRUE(step->Lookup()->IsDone());
    Second();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], std::make_pair(real, uint16_t(51413)));
    EXPECT_EQ(step->PeersHanded(), 1);
}

TEST_F(TaskDhtStepTest, ADoneLookupRunsAgainAfterAWaitThatGrowsWithThePeers) {
    struct Case {
        int32_t peers;
        uint64_t wait;
    } cases[] = {{0, 30}, {2, 60}, {5, 180}, {8, 360}};
    for (const Case& c : cases) {
        view.bt_peer_count = c.peers;
        step->Stop();
        while (!(step->Lookup() && step->Lookup()->IsDone())) Second();
        const uint64_t done = step->Lookup()->DoneTime();
        while (Now() < done + c.wait - 1) Second();
        step->Step(done + c.wait - 1);
        EXPECT_TRUE(step->Lookup()->IsDone()) << c.peers << " peers";
        step->Step(done + c.wait);
        EXPECT_FALSE(step->Lookup()->IsDone()) << c.peers << " peers";
        EXPECT_EQ(a.node->Stats().lookups, 1u) << c.peers << " peers";
    }
}

TEST_F(TaskDhtStepTest, ALookupThatEndedAfterTheStepReadTheClockIsNotRunAgainAtOnce) {
    // The DHT thread can end the lookup in the second after the one the step
    // was given: that is no wait that has run out.
    while (!(step->Lookup() && step->Lookup()->IsDone())) Second();
    const uint64_t done = step->Lookup()->DoneTime();
    step->Step(done - 1);
    EXPECT_TRUE(step->Lookup()->IsDone());
    EXPECT_EQ(a.node->Stats().lookups, 0u);
}

}  // namespace
}  // namespace zl
