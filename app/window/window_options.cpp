#include "app/window/window_options.h"

#include <cstring>
#include <vector>

namespace zl::app::window {

const char* ProgramUsage() {
    return "usage: zephyrloader [options]\n"
           "Downloads the Talvora package in a window, verifies it and starts its installer.\n"
           "  --save-dir DIR        folder to download into (the package goes to DIR/TLV300)\n"
           "  --app-data DIR        folder for the program's own data (default $XDG_DATA_HOME)\n"
           "  --config-url URL      server configuration document\n"
           "  --mirror-host HOST    host[:port] of the default mirror\n"
           "  --resources DIR       override folder for the built-in resources (TORRENT/301.., DUCONF/181)\n"
           "  --speed-limit KIB     download limit in KiB/s (0: none)\n"
           "  --no-upnp             do not map the listening port on the gateway\n"
           "  --listen-port PORT    listen on PORT instead of a chosen one\n"
           "  --verify yes|no       answer to \"verify before installing?\" without asking\n"
           "  --opener CMD          command that opens the installer (default xdg-open)\n"
           "  --folder-opener CMD   command that shows the download folder (default xdg-open)\n"
           "  --auto-shutdown       shut the machine down once the download is complete\n"
           "  --shutdown-cmd CMD    command for that (default \"shutdown -h +1\")\n"
           "  --exit-when-done      verify the complete package and end once it is verified\n"
           "  --max-seconds N       end after N seconds (exit 124)\n"
           "  --screenshot FILE     render the window to FILE (PNG) every second and at the end\n"
           "  --no-tray             minimise instead of hiding in the notification area\n"
           "  --autopilot           press the start button, and the install button once complete (demos)\n"
           "Qt's own options (-platform, -display, ...) are accepted too.\n"
           "exit codes: 0 verified, installer started or closed by the user, 1 failure,\n"
           "            2 verification failed, 3 the download could not begin, 124 time limit, 130 interrupted\n";
}

std::optional<ProgramOptions> ParseProgramOptions(int argc, char** argv, std::string* error) {
    ProgramOptions o;
    // The window's own options are taken out; the rest are the CLI's.
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
            *out = argv[++i];
            return true;
        };
        if (std::strcmp(a, "--screenshot") == 0) {
            if (!value(&o.screenshot)) return *error = "--screenshot wants a file", std::nullopt;
        } else if (std::strncmp(a, "--screenshot=", 13) == 0) {
            o.screenshot = a + 13;
        } else if (std::strcmp(a, "--folder-opener") == 0) {
            if (!value(&o.folder_opener)) return *error = "--folder-opener wants a command", std::nullopt;
        } else if (std::strcmp(a, "--no-tray") == 0) {
            o.no_tray = true;
        } else if (std::strcmp(a, "--autopilot") == 0) {
            o.autopilot = true;
        } else if (std::strcmp(a, "--json") == 0) {
            return *error = "--json is an option of zephyrloader-cli", std::nullopt;
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::optional<cli::CliOptions> common = cli::ParseCliOptions(int(rest.size()), rest.data(), error);
    if (!common) return std::nullopt;
    o.common = *common;
    return o;
}

}  // namespace zl::app::window
