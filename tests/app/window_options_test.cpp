// The window's command line: the CLI's options but --json, and its own.
#include "app/window/window_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zl::app::window {
namespace {

std::optional<int> Parse(ProgramCommandLine& line, std::vector<std::string> args) {
    args.insert(args.begin(), "zephyrloader");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return line.Parse(int(argv.size()), argv.data());
}

TEST(WindowOptions, TheCliOptionsAndTheWindowsOwn) {
    ProgramCommandLine line;
    ASSERT_FALSE(Parse(line, {"--save-dir", "/s", "--verify", "yes", "--screenshot", "/tmp/w.png", "--folder-opener",
                              "nautilus", "--no-tray", "--autopilot", "--max-seconds", "9"}));
    EXPECT_EQ(line.program.common.save_dir, "/s");
    EXPECT_EQ(line.program.common.verify, true);
    EXPECT_EQ(line.program.common.max_seconds, 9);
    EXPECT_EQ(line.program.screenshot, "/tmp/w.png");
    EXPECT_EQ(line.program.folder_opener, "nautilus");
    EXPECT_TRUE(line.program.no_tray && line.program.autopilot);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--json"}, {"--folder-opener", ""}, {"--screenshot"}, {"--listen-port", "-1"}}) {
        ProgramCommandLine other;
        EXPECT_EQ(Parse(other, bad), cli::kExitUsage) << bad[0];
    }
}

TEST(WindowOptions, HelpNamesEveryOption) {
    ProgramCommandLine line;
    const std::string help = line.Help();
    for (const char* option : {"--save-dir", "--app-data", "--config-url", "--mirror-host", "--resources",
                               "--speed-limit", "--no-upnp", "--listen-port", "--verify", "--opener",
                               "--auto-shutdown", "--shutdown-cmd", "--exit-when-done", "--max-seconds",
                               "--screenshot", "--folder-opener", "--no-tray", "--autopilot", "--version", "--help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(help.find("--json"), std::string::npos);
}

}  // namespace
}  // namespace zl::app::window
