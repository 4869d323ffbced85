// Gateways that point elsewhere or answer badly (scripted on loopback): our
// requests go only to the host that served the description, and only the
// action's own response counts as a mapping.
#include <gtest/gtest.h>
#include <miniupnpc/miniwget.h>

#include <cstdlib>

#include "portmap/port_mapper.h"
#include "tests/portmap/portmap_test_support.h"

namespace zl {
namespace {

using test::EventRecorder;
using test::RecordingListener;
using test::ScriptServer;
using Events = std::vector<std::pair<std::string, std::string>>;

ScriptServer Hostile(const std::string& host, std::vector<std::string> options) {
    std::vector<std::string> args = {"python3", std::string(ZL_SOURCE_DIR) + "/tests/portmap/hostile_igd.py", "--host",
                                     host};
    args.insert(args.end(), options.begin(), options.end());
    return ScriptServer(args);
}

std::string HostPort(const ScriptServer& s, const std::string& host) { return host + ":" + std::to_string(s.Port()); }

int Posts(const ScriptServer& s) {
    int size = 0, status = 0;
    char* data = static_cast<char*>(miniwget(s.Url("/posts").c_str(), &size, 0, &status));
    if (!data) return -1;
    const int n = std::atoi(std::string(data, size_t(size > 0 ? size : 0)).c_str());
    std::free(data);
    return n;
}

struct Outcome {
    std::vector<int32_t> finished;
    Events events;
};

Outcome MapWith(const std::string& description_url) {
    EventRecorder events;
    RecordingListener observer;
    PortMapperSettings settings;
    settings.start = 45200;
    settings.port_in_use = [](uint16_t) { return false; };
    settings.local_address = "10.77.0.2";
    settings.forward.description_url = description_url;
    settings.forward.report_event = events.Sink();
    PortMapper mapper(settings, &observer);
    EXPECT_EQ(mapper.ChooseAndMapPort(), 45201);
    EXPECT_TRUE(mapper.WaitForMapping(20000));
    return {observer.Params(kMappingFinished), events.Events()};
}

const Events kRefused = {{"11500105", "IGD设备已找到，但是uPnP依然失败"}};

TEST(HostileGateway, RequestsGoOnlyToTheHostThatServedTheDescription) {
    // The other host would accept the mapping: it must never be asked.
    ScriptServer other = Hostile("127.0.102.2", {"--reply", "ok"});
    for (const char* option : {"--control-host", "--urlbase"}) {
        ScriptServer gateway = Hostile("127.0.102.1", {option, HostPort(other, "127.0.102.2"), "--reply", "ok"});
        const Outcome run = MapWith(gateway.Url("/rootDesc.xml"));
        EXPECT_EQ(run.finished, (std::vector<int32_t>{kPortForwardFailed})) << option;
        EXPECT_EQ(run.events, kRefused) << option;
        EXPECT_EQ(Posts(other), 0) << option;
        EXPECT_EQ(Posts(gateway), 0) << option;
    }
    // An absolute control URL on the describing host itself is fine.
    ScriptServer gateway = Hostile("127.0.102.1", {"--reply", "ok"});
    ScriptServer same = Hostile("127.0.102.1", {"--control-host", HostPort(gateway, "127.0.102.1"), "--reply", "ok"});
    const Outcome run = MapWith(same.Url("/rootDesc.xml"));
    EXPECT_EQ(run.finished, (std::vector<int32_t>{kPortForwardOk}));
    EXPECT_EQ(Posts(gateway), 1);
}

TEST(HostileGateway, OnlyTheActionResponseIsAMapping) {
    struct Case {
        const char* reply;
        int32_t finished;
    } cases[] = {
        {"ok", kPortForwardOk},
        {"fault", kPortForwardFailed},
        // Error pages and empty answers carry no errorCode, yet map nothing.
        {"html500", kPortForwardFailed},
        {"html404", kPortForwardFailed},
        {"empty200", kPortForwardFailed},
    };
    for (const Case& c : cases) {
        ScriptServer gateway = Hostile("127.0.102.1", {"--reply", c.reply});
        const Outcome run = MapWith(gateway.Url("/rootDesc.xml"));
        EXPECT_EQ(run.finished, (std::vector<int32_t>{c.finished})) << c.reply;
        const Events mapped = {{"11390000", ""}};
        EXPECT_EQ(run.events, c.finished == kPortForwardOk ? mapped : kRefused) << c.reply;
        EXPECT_EQ(Posts(gateway), 1) << c.reply;
    }
}

TEST(HostileGateway, UrlHostsAndSoapReplies) {
    EXPECT_EQ(UrlHost("http://127.0.102.1:5000/ctl"), "127.0.102.1");
    EXPECT_EQ(UrlHost("http://Router.LAN/ctl"), "router.lan");
    EXPECT_EQ(UrlHost("http://[fe80::1]:80/x"), "[fe80::1]");
    EXPECT_EQ(UrlHost("http://a@b/x"), "");
    EXPECT_EQ(UrlHost("/relative"), "");
    EXPECT_TRUE(SameUrlHost("http://10.0.0.1:5000/a", "http://10.0.0.1:49152/b"));
    EXPECT_FALSE(SameUrlHost("http://10.0.0.1:5000/a", "http://10.0.0.2:5000/a"));
    EXPECT_FALSE(SameUrlHost("http://10.0.0.1@10.0.0.2/a", "http://10.0.0.1/a"));

    int code = 0;
    EXPECT_TRUE(IsSoapActionResponse("<s:Envelope><s:Body><u:AddPortMappingResponse/></s:Body></s:Envelope>",
                                     "AddPortMapping", &code));
    EXPECT_FALSE(IsSoapActionResponse("<s:Envelope><s:Body><s:Fault><detail><UPnPError><errorCode>718</errorCode>"
                                      "</UPnPError></detail></s:Fault></s:Body></s:Envelope>",
                                      "AddPortMapping", &code));
    EXPECT_EQ(code, 718);
    EXPECT_FALSE(IsSoapActionResponse("<s:Envelope><s:Body><u:DeletePortMappingResponse/></s:Body></s:Envelope>",
                                      "AddPortMapping", &code));
    EXPECT_FALSE(IsSoapActionResponse("<s:Envelope><s:Body><u:AddPortMappingResp", "AddPortMapping", &code));
    EXPECT_FALSE(IsSoapActionResponse("", "AddPortMapping", &code));
    EXPECT_EQ(code, -1);
}

}  // namespace
}  // namespace zl
