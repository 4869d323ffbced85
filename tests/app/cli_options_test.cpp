// The command lines of zephyrloader-cli (and of the window, which adds its
// options to the CLI's): values, ranges and the exit codes of bad input.
#include "app/cli/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/version.h"

namespace zl::app::cli {
namespace {

// Parses `args` (after the program name) with a fresh command line.
std::optional<int> Parse(CliCommandLine& line, std::vector<std::string> args) {
    args.insert(args.begin(), "zephyrloader-cli");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return line.Parse(int(argv.size()), argv.data());
}

TEST(CliOptions, ValuesFlagsAndDefaults) {
    CliProgramCommandLine line;
    ASSERT_FALSE(Parse(line, {"--save-dir", "/s", "--app-data=/a", "--config-url", "https://c/x.xml", "--mirror-host",
                              "m:8080", "--speed-limit", "1000000", "--listen-port", "0", "--verify", "no",
                              "--no-upnp", "--json", "--max-seconds", "5", "--exit-when-done"}));
    const CliOptions& o = line.options;
    EXPECT_EQ(o.save_dir, "/s");
    EXPECT_EQ(o.app_data, "/a");
    EXPECT_EQ(o.config_url, "https://c/x.xml");
    EXPECT_EQ(o.mirror_host, "m:8080");
    EXPECT_EQ(o.speed_limit_kib, 1000000);
    EXPECT_EQ(o.listen_port, 0);
    EXPECT_EQ(o.verify, false);
    EXPECT_TRUE(o.no_upnp && o.json && o.exit_when_done);
    EXPECT_FALSE(o.auto_shutdown);
    EXPECT_EQ(o.max_seconds, 5);
    EXPECT_EQ(o.opener, "xdg-open");
    EXPECT_EQ(o.shutdown_cmd, "shutdown -h +1");

    CliProgramCommandLine defaults;
    ASSERT_FALSE(Parse(defaults, {}));
    EXPECT_FALSE(defaults.options.verify);
    EXPECT_EQ(defaults.options.listen_port, -1);
}

TEST(CliOptions, BadInputExitsWithTheUsageCode) {
    const std::vector<std::vector<std::string>> bad = {
        {"--speed-limit", "1000001"}, {"--speed-limit", "-1"}, {"--speed-limit", "12x"}, {"--listen-port", "65536"},
        {"--verify", "maybe"},        {"--max-seconds", "0"},  {"--opener", ""},         {"--shutdown-cmd", ""},
        {"--bogus"},                  {"stray"},               {"--save-dir"},
    };
    for (const auto& args : bad) {
        CliProgramCommandLine line;
        EXPECT_EQ(Parse(line, args), kExitUsage) << args[0];
    }
}

TEST(CliOptions, HelpAndVersionEndAtOnceAndHelpNamesEveryOption) {
    CliProgramCommandLine line;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Parse(line, {"--version"}), kExitOk);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("zephyrloader-cli ") + ZL_VERSION_STRING + "\n");
    CliProgramCommandLine again;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Parse(again, {"-h"}), kExitOk);
    const std::string help = testing::internal::GetCapturedStdout();
    for (const char* option : {"--save-dir", "--app-data", "--config-url", "--mirror-host", "--resources",
                               "--speed-limit", "--no-upnp", "--listen-port", "--verify", "--opener",
                               "--auto-shutdown", "--shutdown-cmd", "--exit-when-done", "--max-seconds", "--json",
                               "--version", "--help", "exit codes"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace zl::app::cli
