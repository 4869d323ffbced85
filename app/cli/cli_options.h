// The options of zephyrloader-cli.
#pragma once
#include <optional>
#include <string>

namespace zl::app::cli {

struct CliOptions {
    std::string save_dir, app_data, config_url, mirror_host, resources;
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
    bool help = false;
};

// Parses argv; nullopt with `error` set on bad input.
std::optional<CliOptions> ParseCliOptions(int argc, char** argv, std::string* error);
const char* CliUsage();

// Exit codes.
inline constexpr int kExitOk = 0;             // verified, or the installer launched
inline constexpr int kExitFailed = 1;         // any other failure (shown as text)
inline constexpr int kExitVerifyFailed = 2;   // verification finally failed
inline constexpr int kExitNotBegun = 3;       // the download could not begin
inline constexpr int kExitUsage = 64;
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTimeLimit = 124;

}  // namespace zl::app::cli
