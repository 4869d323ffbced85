#include "app/cli/cli_options.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>

namespace zl::app::cli {
namespace {

bool ParseInt(const char* text, long min, long max, int32_t* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < min || v > max) return false;
    *out = int32_t(v);
    return true;
}

}  // namespace

const char* CliUsage() {
    return "usage: zephyrloader-cli [options]\n"
           "Downloads the Talvora package, verifies it and starts its installer.\n"
           "  --save-dir DIR        folder to download into (the package goes to DIR/TLV300)\n"
           "  --app-data DIR        folder for the program's own data (default $XDG_DATA_HOME)\n"
           "  --config-url URL      server configuration document\n"
           "  --mirror-host HOST    host[:port] of the default mirror\n"
           "  --resources DIR       override folder for the built-in resources (TORRENT/301.., DUCONF/181)\n"
           "  --speed-limit KIB     download limit in KiB/s (0: none)\n"
           "  --no-upnp             do not map the listening port on the gateway\n"
           "  --listen-port PORT    listen on PORT instead of a chosen one\n"
           "  --verify yes|no       answer to \"verify before installing?\" (asked on a terminal otherwise)\n"
           "  --opener CMD          command that opens the installer (default xdg-open)\n"
           "  --auto-shutdown       shut the machine down once the download is complete\n"
           "  --shutdown-cmd CMD    command for that (default \"shutdown -h +1\")\n"
           "  --exit-when-done      end once the package is complete (and verified), without installing\n"
           "  --max-seconds N       give up after N seconds (exit 124)\n"
           "  --json                one JSON object per second and per message or event on stdout\n"
           "exit codes: 0 verified or installer started, 1 failure, 2 verification failed,\n"
           "            3 the download could not begin (or another instance runs it), 124 time limit,\n"
           "            130 interrupted\n";
}

std::optional<CliOptions> ParseCliOptions(int argc, char** argv, std::string* error) {
    enum {
        kSaveDir = 1000, kAppData, kConfigUrl, kMirrorHost, kResources, kSpeedLimit, kNoUpnp, kListenPort, kVerify,
        kOpener, kAutoShutdown, kShutdownCmd, kExitWhenDone, kMaxSeconds, kJson, kHelp
    };
    static const option kLong[] = {
        {"save-dir", required_argument, nullptr, kSaveDir},
        {"app-data", required_argument, nullptr, kAppData},
        {"config-url", required_argument, nullptr, kConfigUrl},
        {"mirror-host", required_argument, nullptr, kMirrorHost},
        {"resources", required_argument, nullptr, kResources},
        {"speed-limit", required_argument, nullptr, kSpeedLimit},
        {"no-upnp", no_argument, nullptr, kNoUpnp},
        {"listen-port", required_argument, nullptr, kListenPort},
        {"verify", required_argument, nullptr, kVerify},
        {"opener", required_argument, nullptr, kOpener},
        {"auto-shutdown", no_argument, nullptr, kAutoShutdown},
        {"shutdown-cmd", required_argument, nullptr, kShutdownCmd},
        {"exit-when-done", no_argument, nullptr, kExitWhenDone},
        {"max-seconds", required_argument, nullptr, kMaxSeconds},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    CliOptions o;
    optind = 1;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, "h", kLong, nullptr);
        if (c == -1) break;
        const char* arg = optarg;
        switch (c) {
            case kSaveDir: o.save_dir = arg; break;
            case kAppData: o.app_data = arg; break;
            case kConfigUrl: o.config_url = arg; break;
            case kMirrorHost: o.mirror_host = arg; break;
            case kResources: o.resources = arg; break;
            case kSpeedLimit:
                if (!ParseInt(arg, 0, 1'000'000, &o.speed_limit_kib)) return *error = "--speed-limit wants KiB/s", std::nullopt;
                break;
            case kNoUpnp: o.no_upnp = true; break;
            case kListenPort:
                if (!ParseInt(arg, 0, 65535, &o.listen_port)) return *error = "--listen-port wants 0..65535", std::nullopt;
                break;
            case kVerify:
                if (std::string(arg) == "yes") o.verify = true;
                else if (std::string(arg) == "no") o.verify = false;
                else return *error = "--verify wants yes or no", std::nullopt;
                break;
            case kOpener: o.opener = arg; break;
            case kAutoShutdown: o.auto_shutdown = true; break;
            case kShutdownCmd: o.shutdown_cmd = arg; break;
            case kExitWhenDone: o.exit_when_done = true; break;
            case kMaxSeconds: {
                int32_t v = 0;
                if (!ParseInt(arg, 1, INT_MAX, &v)) return *error = "--max-seconds wants a positive number", std::nullopt;
                o.max_seconds = v;
                break;
            }
            case kJson: o.json = true; break;
            case kHelp:
            case 'h': o.help = true; break;
            default:
                *error = std::string("unknown or incomplete option ") + (optind > 0 && optind <= argc ? argv[optind - 1] : "");
                return std::nullopt;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument ") + argv[optind];
        return std::nullopt;
    }
    if (o.opener.empty() || o.shutdown_cmd.empty()) {
        *error = "--opener and --shutdown-cmd want a command";
        return std::nullopt;
    }
    return o;
}

}  // namespace zl::app::cli
