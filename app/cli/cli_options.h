// The options of zephyrloader-cli, parsed with CLI11; the window adds its own
// to the same command line.
#pragma once
#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace zl::app::cli {

struct CliOptions {
    std::string save_dir, app_data, config_url, mirror_host, resources, ca_file;
    int32_t speed_limit_kib = 0;
    bool no_upnp = false;
    int32_t listen_port = -1;
    std::optional<bool> verify;  // the answer to the install question; asked on a terminal when unset
    std::string opener = "xdg-open";
    bool auto_shutdown = false;
    std::string shutdown_cmd = "shutdown -h +1";
    bool exit_when_done = false;
    int max_seconds = 0;  // 0: no limit
    bool json = false;
};

// A command line with the options the CLI and the window share, stored into
// `options` when parsed; the window adds its own options to App() before.
class CliCommandLine {
public:
    // `program` and `summary` head the help text; `footer` ends it.
    CliCommandLine(const std::string& program, const std::string& summary, const std::string& footer);
    CLI::App& App() { return app_; }
    // Parses argv into `options`. nullopt when the program is to run; else its
    // exit code: 0 after --help or --version (printed on stdout), kExitUsage
    // after a bad command line (the reason on stderr).
    std::optional<int> Parse(int argc, char** argv);
    std::string Help() const { return app_.help(); }
    // Whether argv asks for the help or the version (the window answers these before Qt starts).
    static bool AsksForHelpOrVersion(int argc, char** argv);

    CliOptions options;

private:
    CLI::App app_;
    std::string program_;
    std::string verify_;
};

// zephyrloader-cli's own command line: the shared options and --json.
class CliProgramCommandLine : public CliCommandLine {
public:
    CliProgramCommandLine();
};

// Exit codes.
inline constexpr int kExitOk = 0;             // verified, or the installer launched
inline constexpr int kExitFailed = 1;         // any other failure (shown as text)
inline constexpr int kExitVerifyFailed = 2;   // verification finally failed
inline constexpr int kExitNotBegun = 3;       // the download could not begin
inline constexpr int kExitUsage = 64;
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTimeLimit = 124;

}  // namespace zl::app::cli
