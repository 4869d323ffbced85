// The whole port step against a real gateway: miniupnpd in a namespace made
// by gateway.sh, found by SSDP from a client namespace. Skips (with the
// reason) where network namespaces cannot be made.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <thread>

#include "portmap/port_mapper.h"
#include "tests/portmap/portmap_test_support.h"
#include "tests/telemetry/telemetry_test_support.h"

namespace zl {
namespace {

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    std::array<char, 512> buffer;
    while (fgets(buffer.data(), buffer.size(), pipe)) out += buffer.data();
    const int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

class RealGateway : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "zl-tm-" + std::to_string(getpid());
        script_ = std::string(ZL_SOURCE_DIR) + "/tests/portmap/gateway.sh";
        int status = 0;
        const std::string out = Shell(script_ + " start " + dir_.path() + " " + name_, &status);
        if (status == 77) GTEST_SKIP() << "no gateway: " << out;
        ASSERT_EQ(status, 0) << out;
        started_ = true;
    }
    void TearDown() override {
        if (started_) Shell(script_ + " stop " + dir_.path() + " " + name_);
    }
    // Runs `fn` on a thread inside the client namespace; threads it starts stay there.
    template <class Fn>
    void InClient(Fn fn) {
        std::thread worker([&] {
            const int fd = open(("/var/run/netns/" + name_ + "-lan").c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
            close(fd);
            fn();
        });
        worker.join();
    }

    test::TempDir dir_;
    std::string name_, script_;
    bool started_ = false;
};

TEST_F(RealGateway, FoundBySsdpAndMapped) {
    test::EventRecorder events;
    uint16_t port = 0;
    DeviceInformation device;
    bool found = false;
    InClient([&] {
        PortMapperSettings settings;
        settings.forward.report_event = events.Sink();
        PortMapper mapper(settings);
        port = mapper.ChooseAndMapPort();
        ASSERT_TRUE(mapper.WaitForMapping(30000));
        found = mapper.GatewayFound();
        device = mapper.GetDeviceInformation();
    });
    ASSERT_GE(port, 40000);
    ASSERT_LE(port, 50000);
    EXPECT_TRUE(found);
    EXPECT_EQ(events.Events(), (std::vector<std::pair<std::string, std::string>>{{"11390000", ""}}));
    EXPECT_EQ(device.friendly_name, "Zephyrloader test gateway");
    EXPECT_EQ(device.model_name, "Debian router");
    EXPECT_EQ(device.model_number, "2.3.1");
    EXPECT_EQ(device.serial_number, "ZLTM0001");
    EXPECT_EQ(device.is_root_device, "Yes");
    EXPECT_EQ(device.has_children, "Yes");
    EXPECT_EQ(device.parent_device, "This is a topmost device");
    EXPECT_EQ(device.unique_device_name, "uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b");
    EXPECT_EQ(device.children, "Yes: One child");
    EXPECT_EQ(device.services, "Yes: 2 services");

    // The gateway lists the mapping, as upnpc sees it from the LAN.
    const std::string list =
        Shell("ip netns exec " + name_ + "-lan upnpc -u http://10.77.0.1:5000/rootDesc.xml -l");
    const std::string entry = "TCP " + std::to_string(port) + "->10.77.0.2:" + std::to_string(port) +
                              " 'Zephyrloader uPnP for P2SP upload/download'";
    EXPECT_NE(list.find(entry), std::string::npos) << list;
}

}  // namespace
}  // namespace zl
