#include "app/cli/cli_options.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "engine/base/version.h"

namespace zl::app::cli {

CliCommandLine::CliCommandLine(const std::string& program, const std::string& summary, const std::string& footer)
    : app_(summary, program), program_(program) {
    app_.footer(footer);
    app_.set_version_flag("--version", std::string(program) + " " + ZL_VERSION_STRING, "print the version and exit");
    app_.set_help_flag("-h,--help", "print this help and exit");
    app_.get_formatter()->column_width(26);
    CliOptions& o = options;
    app_.add_option("--save-dir", o.save_dir, "folder to download into (the package goes to DIR/TLV300)")
        ->type_name("DIR");
    app_.add_option("--app-data", o.app_data, "folder for the program's own data (default $XDG_DATA_HOME)")
        ->type_name("DIR");
    app_.add_option("--config-url", o.config_url, "server configuration document")->type_name("URL");
    app_.add_option("--mirror-host", o.mirror_host, "host[:port] of the default mirror")->type_name("HOST");
    app_.add_option("--ca-file", o.ca_file,
                    "certificates (PEM) the configuration server and the statistics server are checked against "
                    "instead of the system's store (else the INI's ZephyrloaderCaFile)")
        ->type_name("FILE");
    app_.add_option("--resources", o.resources,
                    "override folder for the built-in resources (TORRENT/301.., DUCONF/181)")
        ->type_name("DIR");
    app_.add_option("--speed-limit", o.speed_limit_kib, "download limit in KiB/s, 0..1000000 (0: none)")
        ->type_name("KIB")
        ->check(CLI::Range(0, 1'000'000).description(""));
    app_.add_flag("--no-upnp", o.no_upnp, "do not map the listening port on the gateway");
    app_.add_option("--listen-port", o.listen_port, "listen on PORT (0..65535) instead of a chosen one")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535).description(""));
    app_.add_option("--verify", verify_, "answer to \"verify before installing?\" (asked on a terminal otherwise)")
        ->type_name("yes|no")
        ->check(CLI::IsMember({"yes", "no"}).description(""));
    app_.add_option("--opener", o.opener, "command that opens the installer (default xdg-open)")->type_name("CMD");
    app_.add_flag("--auto-shutdown", o.auto_shutdown, "shut the machine down once the download is complete");
    app_.add_option("--shutdown-cmd", o.shutdown_cmd, "command for that (default \"shutdown -h +1\")")
        ->type_name("CMD");
    app_.add_flag("--exit-when-done", o.exit_when_done,
                  "end once the package is complete (and verified), without installing");
    app_.add_option("--max-seconds", o.max_seconds, "give up after N seconds, N >= 1 (exit 124)")
        ->type_name("N")
        ->check(CLI::Range(1, INT_MAX).description(""));
}

std::optional<int> CliCommandLine::Parse(int argc, char** argv) {
    try {
        app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app_.help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\n(try --help)\n", program_.c_str(), e.what());
        return kExitUsage;
    }
    if (!verify_.empty()) options.verify = verify_ == "yes";
    if (options.opener.empty() || options.shutdown_cmd.empty()) {
        std::fprintf(stderr, "%s: --opener and --shutdown-cmd want a command\n", program_.c_str());
        return kExitUsage;
    }
    return std::nullopt;
}

bool CliCommandLine::AsksForHelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
            std::strcmp(argv[i], "--version") == 0)
            return true;
    return false;
}

CliProgramCommandLine::CliProgramCommandLine()
    : CliCommandLine("zephyrloader-cli", "Downloads the Talvora package, verifies it and starts its installer.",
                     "exit codes: 0 verified or installer started, 1 failure, 2 verification failed,\n"
                     "            3 the download could not begin (or another instance runs it), 124 time limit,\n"
                     "            130 interrupted") {
    App().add_flag("--json", options.json, "one JSON object per second and per message or event on stdout");
}

}  // namespace zl::app::cli
