#include "portmap/port_choice.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "portmap/port_mapper.h"
#include "tests/portmap/portmap_test_support.h"
#include "tests/telemetry/telemetry_test_support.h"

namespace zl {
namespace {

uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

TEST(PortWalk, WrapsPastFiftyThousandToForty) {
    std::vector<uint16_t> probed;
    const uint16_t port = WalkListenPorts(49999, [&](uint16_t p) {
        probed.push_back(p);
        return p == 50000;
    });
    EXPECT_EQ(port, 40000);
    EXPECT_EQ(probed, (std::vector<uint16_t>{50000, 40000}));
}

TEST(PortWalk, FirstCandidateIsAboveTheStartAndSkipsExcludedPorts) {
    EXPECT_EQ(WalkListenPorts(40000, [](uint16_t) { return false; }), 40001);
    EXPECT_EQ(WalkListenPorts(40411, [](uint16_t) { return false; }), 40413);   // 40412 excluded
    EXPECT_EQ(WalkListenPorts(40420, [](uint16_t p) { return p < 40424; }), 40424);  // 40421..40423 excluded
    EXPECT_EQ(WalkListenPorts(44443, [](uint16_t) { return false; }), 44445);
}

TEST(PortWalk, AllBusyProbesEveryAllowedPortOnceAndGivesZero) {
    std::map<uint16_t, int> probed;
    EXPECT_EQ(WalkListenPorts(47000, [&](uint16_t p) {
                  ++probed[p];
                  return true;
              }),
              0);
    EXPECT_EQ(probed.size(), 10001u - std::size(kExcludedListenPorts));
    for (auto [port, times] : probed) {
        EXPECT_FALSE(IsExcludedListenPort(port)) << port;
        EXPECT_EQ(times, 1) << port;
        EXPECT_GE(port, 40000);
        EXPECT_LE(port, 50000);
    }
}

TEST(PortWalk, PrivateAddressRule) {
    struct Case {
        const char* address;
        bool is_private;
    } cases[] = {
        {"172.31.0.5", true},  {"172.32.0.5", false}, {"172.16.0.1", true},   {"172.15.255.255", false},
        {"10.77.0.2", true},   {"6.1.2.3", true},     {"7.0.0.1", false},     {"0.0.0.0", true},
        {"127.0.5.1", true},   {"192.168.1.1", true}, {"192.169.0.1", false}, {"169.254.9.9", true},
        {"169.253.0.1", false}, {"11.0.0.2", false},  {"198.18.0.1", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPrivateHostAddress(Ip(c.address)), c.is_private) << c.address;
}

TEST(PortProbe, ProcNetTcpLocalPorts) {
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:9C41 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
        "   1: 0105007F:AB12 0205007F:9C42 01 00000000:00000000 00:00000000 00000000     0        0 2 1\n"
        "garbage line\n"
        "   2: 0100007F:ZZZZ 00000000:0000 0A\n";
    EXPECT_EQ(ParseProcNetTcpLocalPorts(tcp), (std::vector<uint16_t>{40001, 43794}));
    const std::string tcp6 =
        "  sl  local_address                         remote_address                        st\n"
        "   0: 00000000000000000000000000000000:C350 00000000000000000000000000000000:0000 0A\n";
    EXPECT_EQ(ParseProcNetTcpLocalPorts(tcp6), (std::vector<uint16_t>{50000}));

    test::TempDir root;
    test::WriteFile(root / "proc/net/tcp", tcp);
    test::WriteFile(root / "proc/net/tcp6", tcp6);
    EXPECT_TRUE(TcpPortInUse(40001, root.path(), false));
    EXPECT_TRUE(TcpPortInUse(50000, root.path(), false));
    EXPECT_FALSE(TcpPortInUse(40002, root.path(), false));
}

TEST(PortProbe, SeesARealListener) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(Ip("127.0.5.1"));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const uint16_t port = ntohs(address.sin_port);
    EXPECT_TRUE(TcpPortInUse(port, "/", false));  // listed in /proc/net/tcp
    EXPECT_TRUE(TcpPortInUse(port, "/nonexistent", true));  // refused by the bind test
    close(fd);
}

TEST(PortMapperChoice, OutcomesBeforeAnyGateway) {
    struct Case {
        const char* name;
        bool all_busy;
        const char* local;
        uint16_t port;
        const char* code;
        const char* text;
    } cases[] = {
        {"all busy", true, "10.0.0.2", 0, "11500105", "没有可用的端口，uPnP失败"},
        {"no address", false, "not-an-address", 0, "11500105", "无法获取本地ip，uPnP失败"},
        {"public", false, "172.32.0.5", 49001, "11390001", "无需uPnP：本机直通外网172.32.0.5"},
    };
    for (const Case& c : cases) {
        test::EventRecorder events;
        PortMapperSettings settings;
        settings.start = 49000;
        settings.port_in_use = [&](uint16_t) { return c.all_busy; };
        settings.local_address = c.local;
        settings.forward.report_event = events.Sink();
        PortMapper mapper(settings);
        EXPECT_EQ(mapper.ChooseAndMapPort(), c.port) << c.name;
        EXPECT_EQ(events.Events(), (std::vector<std::pair<std::string, std::string>>{{c.code, c.text}})) << c.name;
    }
}

}  // namespace
}  // namespace zl
