#include "engine/net/resolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "engine/base/errnum.h"
#include "engine/net/address.h"
#include "tests/engine/net/fake_resolver.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using test::Ip;

void WaitForWorkers(const TResolver& resolver) {
    ASSERT_TRUE(test::WaitFor([&] { return resolver.RunningWorkers() == 0; }, std::chrono::seconds(5)));
}

TEST(Resolver, TimedLookupGivesUpAndDropsTheLateAnswer) {
    auto gate = std::make_shared<test::GateResolver>(Ip("192.0.2.99"));
    std::vector<std::string> events;
    std::vector<uint32_t> list;
    {
        TResolver resolver(gate);
        resolver.SetTimeoutMs(50);
        resolver.SetResolvConfPath("/nonexistent/resolv.conf");
        resolver.SetEventSink([&](const std::string& code, const std::string& text) { events.push_back(code + "|" + text); });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(resolver.ResolveHostTimed("slow.test", &list), -1);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_LT(waited, std::chrono::seconds(2));
        EXPECT_TRUE(list.empty());
        gate->WaitEntered(1);
        EXPECT_EQ(resolver.RunningWorkers(), 1);
        // The caller is gone when the answer arrives: the resolver itself is destroyed first.
    }
    gate->Release();
    // The worker outlives its caller; wait through the back end's own count.
    EXPECT_TRUE(test::WaitFor([&] { return gate.use_count() == 1; }, std::chrono::seconds(5)));
    EXPECT_TRUE(list.empty());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "11500106|ErrCode : (10060) Host : (slow.test) , no DNS");
}

TEST(Resolver, FailureReportOncePerOutageWithDnsServers) {
    test::TempDir sandbox("zl-resolver");
    const std::string conf = sandbox.File("resolv.conf", "# test\nnameserver 192.0.2.53\nsearch x\nnameserver 192.0.2.54\n");
    auto table = std::make_shared<test::TableResolver>();
    table->names["ok.test"] = {Ip("192.0.2.7"), 0, Ip("192.0.2.8")};
    table->errors["nodata.test"] = err::kNoData;
    table->errors["again.test"] = err::kTryAgain;
    TResolver resolver(table);
    resolver.SetResolvConfPath(conf);
    std::vector<std::string> events, logs;
    resolver.SetEventSink([&](const std::string&, const std::string& text) { events.push_back(text); });
    resolver.SetLogSink([&](const std::string& line) { logs.push_back(line); });

    std::vector<uint32_t> list;
    EXPECT_EQ(resolver.ResolveHostTimed("nodata.test", &list), -1);
    EXPECT_EQ(resolver.ResolveHostTimed("again.test", &list), -1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "ErrCode : (11004) Host : (nodata.test) , DNS : (192.0.2.53), 备用 DNS : (192.0.2.54)");
    EXPECT_TRUE(resolver.InNegativeCache("nodata.test"));
    EXPECT_FALSE(resolver.InNegativeCache("again.test"));
    EXPECT_EQ(logs.back(), "Invalid Host: again.test");

    EXPECT_EQ(resolver.ResolveHostTimed("ok.test", &list), 2);  // the zero address is skipped
    EXPECT_EQ(list, (std::vector<uint32_t>{Ip("192.0.2.7"), Ip("192.0.2.8")}));
    EXPECT_EQ(resolver.ResolveHostTimed("again.test", &list), -1);  // a success re-arms the report
    EXPECT_EQ(events.size(), 2u);
    WaitForWorkers(resolver);
    std::remove(conf.c_str());
}

TEST(Resolver, DottedNamesNeverReachTheBackEnd) {
    auto table = std::make_shared<test::TableResolver>();
    TResolver resolver(table);
    std::vector<std::string> logs;
    resolver.SetLogSink([&](const std::string& line) { logs.push_back(line); });
    std::vector<uint32_t> list;
    EXPECT_EQ(resolver.ResolveHostTimed("127.0.0.2", &list), 1);
    EXPECT_EQ(resolver.ResolveHostTimed("10.1", &list), 1);  // 10.1.0.0
    EXPECT_EQ(resolver.ResolveHostTimed("0.0", &list), 0);
    EXPECT_EQ(logs.back(), "无效 IP: 0.0");
    EXPECT_EQ(list, (std::vector<uint32_t>{Ip("127.0.0.2"), Ip("10.1.0.0")}));
    EXPECT_EQ(table->lookups.load(), 0);
}

TEST(Resolver, ResolveHostUsesLiteralsAndTheNegativeCache) {
    auto table = std::make_shared<test::TableResolver>();
    table->names["a.test"] = {Ip("192.0.2.1")};
    TResolver resolver(table);
    EXPECT_EQ(resolver.ResolveHost(""), kNoAddress);
    EXPECT_EQ(resolver.ResolveHost("127.0.0.3"), Ip("127.0.0.3"));
    EXPECT_EQ(resolver.ResolveHost("a.test"), Ip("192.0.2.1"));
    EXPECT_EQ(resolver.ResolveHost("missing.test"), kNoAddress);
    EXPECT_EQ(resolver.ResolveHost("missing.test"), kNoAddress);
    EXPECT_EQ(table->lookups.load(), 2);  // the second miss came from the cache
    resolver.ClearNegativeCache();
    EXPECT_EQ(resolver.ResolveHost("missing.test"), kNoAddress);
    EXPECT_EQ(table->lookups.load(), 3);
}

TEST(Resolver, SystemBackEndResolvesLocalhost) {
    TResolver resolver;
    EXPECT_EQ(resolver.ResolveHost("localhost"), Ip("127.0.0.1"));
}

TEST(Resolver, LocalAddressPrefersAPublicAddressOverATrailingPrivateOne) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    auto table = std::make_shared<test::TableResolver>();
    TResolver resolver(table);
    table->names[host] = {Ip("10.0.0.1"), Ip("203.0.113.5"), Ip("192.168.1.9")};
    EXPECT_EQ(resolver.LocalAddress(), Ip("203.0.113.5"));
    table->names[host] = {Ip("203.0.113.5"), Ip("198.51.100.7")};
    EXPECT_EQ(resolver.LocalAddress(), Ip("198.51.100.7"));
    table->names[host] = {Ip("10.0.0.1"), Ip("192.168.1.9")};
    EXPECT_EQ(resolver.LocalAddress(), Ip("192.168.1.9"));
    table->names.clear();
    EXPECT_EQ(resolver.LocalAddress(), kNoAddress);
}

TEST(Addresses, PrivateRangesAndFormatting) {
    struct {
        const char* ip;
        bool is_private;
    } cases[] = {{"0.1.2.3", true},     {"6.255.255.255", true}, {"7.0.0.1", false},   {"10.9.9.9", true},
                 {"127.0.0.2", true},   {"192.168.1.1", true},   {"192.169.0.1", false}, {"169.254.3.3", true},
                 {"172.16.0.1", true},  {"172.31.255.255", true}, {"172.32.0.0", false}, {"8.8.8.8", false}};
    for (const auto& c : cases) EXPECT_EQ(IsPrivateAddress(Ip(c.ip)), c.is_private) << c.ip;
    EXPECT_EQ(FormatAddress(Ip("1.2.3.4")), "1.2.3.4");
    EXPECT_EQ(ParseDottedLoose("1.2.3.4.5"), 0u);
    EXPECT_EQ(ParseDottedLoose("1.2.3.x"), 0u);
}

}  // namespace
}  // namespace zl
