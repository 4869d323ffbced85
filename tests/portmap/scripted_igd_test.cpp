// The mapping threads against a scripted gateway on loopback (no SSDP: the
// engine is given the description URL), and the wait for discovery on a fake clock.
#include <gtest/gtest.h>

#include <thread>

#include "engine/base/fake_clock.h"
#include "portmap/port_mapper.h"
#include "tests/portmap/portmap_test_support.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using test::EventRecorder;
using test::RecordingListener;
using test::ScriptServer;
using Events = std::vector<std::pair<std::string, std::string>>;

ScriptServer Gateway(const std::string& model, const std::string& add) {
    return ScriptServer({"python3", std::string(ZL_SOURCE_DIR) + "/tests/portmap/scripted_igd.py", "--host",
                         "127.0.5.1", "--model-name", model, "--add", add});
}

struct MappingRun {
    uint16_t port;
    bool gateway_found;
    Events events;
    std::vector<std::pair<int, int32_t>> notifications;
    DeviceInformation device;
};

MappingRun MapWith(const std::string& description_url) {
    EventRecorder events;
    RecordingListener observer;
    PortMapperSettings settings;
    settings.start = 45100;
    settings.port_in_use = [](uint16_t) { return false; };
    settings.local_address = "10.77.0.2";  // private: the gateway is asked
    settings.forward.description_url = description_url;
    settings.forward.report_event = events.Sink();
    PortMapper mapper(settings, &observer);
    MappingRun run;
    run.port = mapper.ChooseAndMapPort();
    EXPECT_TRUE(mapper.WaitForMapping(20000));
    run.gateway_found = mapper.GatewayFound();
    run.events = events.Events();
    run.notifications = observer.Seen();
    run.device = mapper.GetDeviceInformation();
    return run;
}

std::vector<int32_t> Params(const MappingRun& run, int code) {
    std::vector<int32_t> out;
    for (auto& [c, p] : run.notifications)
        if (c == code) out.push_back(p);
    return out;
}

TEST(ScriptedGateway, MappedWithProgressAndEvent) {
    ScriptServer gateway = Gateway("Scripted model", "ok");
    const MappingRun run = MapWith(gateway.Url("/rootDesc.xml"));
    EXPECT_EQ(run.port, 45101);
    EXPECT_TRUE(run.gateway_found);
    EXPECT_EQ(run.events, (Events{{"11390000", ""}}));
    const std::vector<int32_t> discovery = Params(run, kDiscoveryProgress);
    ASSERT_GE(discovery.size(), 5u);
    EXPECT_EQ(std::vector<int32_t>(discovery.begin(), discovery.begin() + 4), (std::vector<int32_t>{0, 1, 5, 6}));
    EXPECT_EQ(discovery.back(), 10);
    EXPECT_EQ(discovery.size(), 4u + DeviceInformation::kFieldCount);
    EXPECT_EQ(Params(run, kDiscoveryFinished), (std::vector<int32_t>{kPortForwardOk}));
    EXPECT_EQ(Params(run, kMappingProgress), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(Params(run, kMappingFinished), (std::vector<int32_t>{kPortForwardOk}));
    EXPECT_EQ(run.device.model_name, "Scripted model");
    EXPECT_EQ(run.device.friendly_name, "Scripted router");
    EXPECT_EQ(run.device.children, "Yes: One child");
}

TEST(ScriptedGateway, FailurePaths) {
    struct Case {
        const char* name;
        const char* model;
        const char* add;
        bool gateway_up;
        bool found;
        int32_t discovery;
        const char* text;
    } cases[] = {
        // A gateway that answers but has no model name counts as not found.
        {"empty model name", "", "fail", true, false, kPortForwardOk, "uPnP失败，因为没有IGD设备信息"},
        {"add refused", "Scripted model", "fail", true, true, kPortForwardOk, "IGD设备已找到，但是uPnP依然失败"},
        // Discovery fails; the mapping thread still runs and tries.
        {"no gateway", "", "fail", false, true, kPortForwardFailed, "IGD设备已找到，但是uPnP依然失败"},
    };
    for (const Case& c : cases) {
        ScriptServer gateway = Gateway(c.model, c.add);
        const std::string url = gateway.Url("/rootDesc.xml");
        if (!c.gateway_up) gateway.Stop();
        const MappingRun run = MapWith(url);
        EXPECT_EQ(run.port, 45101) << c.name;
        EXPECT_EQ(run.gateway_found, c.found) << c.name;
        EXPECT_EQ(Params(run, kDiscoveryFinished), (std::vector<int32_t>{c.discovery})) << c.name;
        EXPECT_EQ(Params(run, kMappingProgress).front(), 0) << c.name;
        EXPECT_EQ(Params(run, kMappingFinished), (std::vector<int32_t>{kPortForwardFailed})) << c.name;
        EXPECT_EQ(run.events, (Events{{"11500105", c.text}})) << c.name;
    }
}

TEST(ScriptedGateway, MappingGivesUpWhenDiscoveryNeverEnds) {
    FakeClock clock(FakeClock::Mode::Manual);
    EventRecorder events;
    PortForwardSettings settings;
    settings.clock = &clock;
    settings.report_event = events.Sink();
    CPortForwardEngine engine(settings);
    RecordingListener listener;
    ManualResetEvent never(clock);
    PortMappingRequest request;
    EXPECT_EQ(engine.StartMapping(request, nullptr, &never), 0);
    ASSERT_EQ(engine.StartMapping(request, &listener, &never), 1);
    EXPECT_EQ(engine.StartMapping(request, &listener, &never), 0);  // already running
    ASSERT_TRUE(test::WaitFor([&] { return clock.Sleepers() > 0; }));
    clock.Advance(59999);
    EXPECT_TRUE(engine.MappingRunning());
    clock.Advance(1);
    ASSERT_TRUE(test::WaitFor([&] { return !engine.MappingRunning(); }));
    EXPECT_EQ(events.Events(), (Events{{"11500105", "uPnP失败，获取IGD设备超时"}}));
    EXPECT_TRUE(listener.Seen().empty());  // nothing is posted
}

TEST(ScriptedGateway, DiscoveryStartsOnceAndCleanupReportsWhetherItRan) {
    ScriptServer gateway = Gateway("Scripted model", "ok");
    PortForwardSettings settings;
    settings.description_url = gateway.Url("/rootDesc.xml");
    CPortForwardEngine engine(settings);
    RecordingListener listener;
    EXPECT_EQ(engine.Cleanup(), kPortForwardFailed);
    EXPECT_EQ(engine.StartDiscovery(nullptr), 0);
    ASSERT_EQ(engine.StartDiscovery(&listener), 1);
    ASSERT_TRUE(test::WaitFor([&] { return !engine.DiscoveryRunning(); }));
    EXPECT_EQ(engine.GetDeviceInformation().model_name, "Scripted model");
    EXPECT_EQ(engine.Cleanup(), kPortForwardOk);
    EXPECT_EQ(engine.Cleanup(), kPortForwardFailed);
}

}  // namespace
}  // namespace zl
