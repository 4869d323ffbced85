#include "app/server_config.h"

#include <gtest/gtest.h>

namespace zl::app {
namespace {

PackageTable Table() {
    PackageTable t;
    const char* names[] = {"Talvora300.exe", "Data300.zip", "Data30001.cab", "Data30002.cab"};
    for (int i = 0; i < 4; ++i) t.files[size_t(i)] = {names[i], 100, "00", 301 + i, std::string("/300/") + names[i]};
    return t;
}

std::string Doc(const std::string& p2p, const std::string& resources) {
    return "<?xml version=\"1.0\"?><project><configs><p2p-switch>" + p2p + "</p2p-switch><resources>" + resources +
           "</resources></configs></project>";
}

std::string Cdn(const std::string& attrs, const std::string& ips) {
    return "<cdn id=\"1\" name=\"c\" middle-dir=\"/300/\" file-name=\"Data300.zip\" " + attrs + ">" + ips + "</cdn>";
}

TEST(ServerConfig, Walk) {
    const std::string open_two = Cdn("open=\"true\" host-name=\"h\"", "<ip>127.0.6.2</ip><ip>127.0.6.3:8080</ip>");
    struct Case {
        const char* what;
        std::string xml;
        int result;
        bool p2p;
        size_t sources;  // of file 1
    } cases[] = {
        {"two ips", Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + open_two + "</resource>"), 0, true, 2},
        {"On is off", Doc("On", "<resource id=\"1\" task=\"Data300.zip\">" + open_two + "</resource>"), 0, false, 2},
        {"open false", Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + Cdn("open=\"false\"", "<ip>1.2.3.4</ip>") +
                                     "</resource>"), -2, true, 0},
        {"no open", Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + Cdn("", "<ip>1.2.3.4</ip>") + "</resource>"),
         -2, true, 0},
        {"unknown file", Doc("on", "<resource id=\"1\" task=\"Other.zip\">" + open_two + "</resource>"), -2, true, 0},
        {"empty id ends the walk",
         Doc("on", "<resource id=\"\" task=\"Data300.zip\">" + open_two + "</resource><resource id=\"2\" "
                   "task=\"Data300.zip\">" + open_two + "</resource>"), -2, true, 0},
        {"a non-cdn element ends the resource",
         Doc("on", "<resource id=\"1\" task=\"Data300.zip\"><note/>" + open_two + "</resource>"), -2, true, 0},
        {"no configs", "<project><other/></project>", -2, false, 0},
        {"no switch", "<project><configs><resources/></configs></project>", -2, false, 0},
        {"wrong root", "<projects><configs><p2p-switch>on</p2p-switch></configs></projects>", -2, false, 0},
        {"not xml", "<<<", -2, false, 0},
    };
    for (const Case& c : cases) {
        const ServerConfig r = WalkServerConfig(c.xml, Table(), {});
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.p2p, c.p2p) << c.what;
        EXPECT_EQ(r.sources[1].size(), c.sources) << c.what;
    }
    const ServerConfig two =
        WalkServerConfig(Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + open_two + "</resource>"), Table(), {});
    ASSERT_EQ(two.sources[1].size(), 2u);
    EXPECT_EQ(two.sources[1][0].url, "http://127.0.6.2/300/Data300.zip");
    EXPECT_EQ(two.sources[1][1].url, "http://127.0.6.3:8080/300/Data300.zip");
    EXPECT_EQ(two.sources[1][0].host, "h");
    const ServerConfig no_host = WalkServerConfig(
        Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + Cdn("open=\"true\"", "<ip>1.2.3.4</ip>") + "</resource>"),
        Table(), {});
    EXPECT_EQ(no_host.sources[1].at(0).host, "null");
}

TEST(ServerConfig, CompleteFileIsSkipped) {
    const std::string xml = Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" +
                                          Cdn("open=\"true\"", "<ip>127.0.6.2</ip>") + "</resource>");
    const ServerConfig r = WalkServerConfig(xml, Table(), [](int i) { return i == 1; });
    EXPECT_EQ(r.result, -2);
    EXPECT_TRUE(r.has_switch);
    EXPECT_TRUE(r.sources[1].empty());
}

TEST(ServerConfig, UnsafeMirrorFieldsAreRefused) {
    const char* bad_ips[] = {"1.2.3.4\nhttp://evil/", "1.2.3.4/x", "host:0", "host:99999", "a b", "", "user@host",
                             ".lead", "1.2.3.4:80:80"};
    for (const char* ip : bad_ips) {
        const ServerConfig r = WalkServerConfig(
            Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + Cdn("open=\"true\"", std::string("<ip>") + ip + "</ip>") +
                          "</resource>"),
            Table(), {});
        EXPECT_TRUE(r.sources[1].empty()) << ip;
    }
    const std::string bad_dir = "<cdn id=\"1\" name=\"c\" middle-dir=\".evil.example/\" file-name=\"f\" open=\"true\">"
                                "<ip>1.2.3.4</ip></cdn>";
    const std::string bad_name = "<cdn id=\"1\" name=\"c\" middle-dir=\"/d/\" file-name=\"f&#10;http://x/\" "
                                 "open=\"true\"><ip>1.2.3.4</ip></cdn>";
    const std::string bad_host = "<cdn id=\"1\" name=\"c\" middle-dir=\"/d/\" file-name=\"f\" open=\"true\" "
                                 "host-name=\"a&#13;b\"><ip>1.2.3.4</ip></cdn>";
    for (const std::string& cdn : {bad_dir, bad_name, bad_host}) {
        const ServerConfig r =
            WalkServerConfig(Doc("on", "<resource id=\"1\" task=\"Data300.zip\">" + cdn + "</resource>"), Table(), {});
        EXPECT_TRUE(r.sources[1].empty()) << cdn;
        EXPECT_EQ(r.rejected, 1) << cdn;
    }
}

TEST(ServerConfig, Expiry) {
    const auto doc = [](const std::string& expired, const std::string& url) {
        return "<project><configs><expire-info><expired>" + expired + "</expired><message>过期了</message><url>" + url +
               "</url></expire-info></configs></project>";
    };
    const ExpiryNotice n = ReadExpiry(doc("true", "https://127.0.6.2/new"));
    EXPECT_TRUE(n.expired);
    EXPECT_EQ(n.message, "过期了");
    EXPECT_EQ(n.url, "https://127.0.6.2/new");
    EXPECT_FALSE(ReadExpiry(doc("True", "x")).expired);
    EXPECT_FALSE(ReadExpiry("not xml").expired);
    EXPECT_TRUE(IsWebUrl("http://127.0.6.2/a"));
    EXPECT_TRUE(IsWebUrl("HTTPS://127.0.6.2/a"));
    for (const char* bad : {"file:///etc/passwd", "/usr/bin/xterm", "javascript:x", "http://a b", "http://", "-x"})
        EXPECT_FALSE(IsWebUrl(bad)) << bad;
}

}  // namespace
}  // namespace zl::app
