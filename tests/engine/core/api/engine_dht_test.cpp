// The engine's DHT switch: off by default (no "Kademlia" thread); when on,
// the first task starts the node behind the engine's UDP server, the last
// task pauses it, and clean-up leaves its cache file in the data folder.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <thread>

#include "engine/core/api/dht_service.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/atomic_file.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/udp/kad_test_support.h"
#include "tests/engine/udp/kad_udp_endpoint.h"

namespace zl {
namespace {

using test::Descriptor;

class EngineDht : public ::testing::Test {
protected:
    EngineDht() : engine(SystemClock()) {}
    void SetUp() override {
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
        UdpServerConfig config = DefaultUdpServerConfig("127.0.7.81", engine.NodeIdentity());
        config.local_port = 0;
        config.local_address = inet_addr("127.0.7.80");
        engine.SetUdpServerConfig(config);
        engine.GetUdpServer().SetBindAddress(inet_addr("127.0.7.80"));
        engine.Dht().SetRouters({});
    }
    void TearDown() override { EngineCleanup(engine); }
    void CreateTask() {
        task = Descriptor(0, "", "http://127.0.0.1:1/a", dir.path());
        ASSERT_EQ(TaskCreate(engine, task.get()), ENGINE_OK);
    }
    uint16_t UdpPort() {
        for (int i = 0; i < 4000 && engine.GetUdpServer().BoundPort() == 0; ++i) ::usleep(500);
        return engine.GetUdpServer().BoundPort();
    }

    test::TempDir dir;
    EngineContext engine;
    std::unique_ptr<TaskDescriptor> task;
};

TEST_F(EngineDht, OffByDefault) {
    CreateTask();
    EXPECT_FALSE(engine.Switches().dht);
    EXPECT_EQ(engine.Dht().Running(), nullptr);
    // A KRPC ping to the engine's UDP port goes unanswered.
    test::UdpClient client("127.0.7.82");
    client.SendTo(test::KrpcQuery(KadId::Fresh(1), "ping", "", "ABCDEFGH"), inet_addr("127.0.7.80"), UdpPort());
    EXPECT_EQ(client.Receive(500), "");
}

TEST_F(EngineDht, SwitchedOnTheFirstTaskStartsTheNodeBehindTheUdpServer) {
    ASSERT_EQ(EngineSetDhtSwitch(engine, 1), ENGINE_OK);
    CreateTask();
    EXPECT_TRUE(engine.Switches().dht);
    std::shared_ptr<CKademlia> node;
    for (int i = 0; i < 2000 && !(node = engine.Dht().Running()); ++i) ::usleep(1000);
    ASSERT_TRUE(node);
    EXPECT_EQ(engine.Dht().CachePath(), dir.path() + "/ZephyrloaderKademlia.kad");

    // Queries reach it through the engine's UDP socket and are answered there.
    test::UdpClient client("127.0.7.82");
    std::string answer;
    for (int i = 0; i < 20 && answer.empty(); ++i) {
        client.SendTo(test::KrpcQuery(KadId::Fresh(1), "ping", "", "ABCDEFGH"), inet_addr("127.0.7.80"), UdpPort());
        answer = client.Receive(250);
    }
    EXPECT_EQ(answer, "d1:rd2:id20:" + node->OwnNodeId().Bytes() + "e1:t8:ABCDEFGH1:y1:re");
    const KadId id = node->OwnNodeId();
    node.reset();

    // The last task gone: the thread pauses and saves; clean-up stops it for good.
    ASSERT_EQ(TaskStop(engine, task->handle, 0), ENGINE_OK);
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
    EXPECT_EQ(engine.Dht().Running(), nullptr);
    const auto cache = ReadWholeFile(dir.path() + "/ZephyrloaderKademlia.kad");
    ASSERT_TRUE(cache);
    KadRoutingTable saved(KadId(), 1);
    ASSERT_TRUE(saved.Load(*cache, 1));
    EXPECT_EQ(saved.OwnId(), id);  // the next run keeps the id
}

}  // namespace
}  // namespace zl
