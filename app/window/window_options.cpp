#include "app/window/window_options.h"

namespace zl::app::window {

ProgramCommandLine::ProgramCommandLine()
    : CliCommandLine("zephyrloader", "Downloads the Talvora package in a window, verifies it and starts its installer.",
                     "Qt's own options (-platform, -display, ...) are accepted too.\n"
                     "exit codes: 0 verified, installer started or closed by the user, 1 failure,\n"
                     "            2 verification failed, 3 the download could not begin, 124 time limit, 130 interrupted") {
    CLI::App& app = App();
    app.add_option("--folder-opener", program.folder_opener,
                   "command that shows the download folder (default xdg-open)")
        ->type_name("CMD");
    app.add_option("--screenshot", program.screenshot, "render the window to FILE (PNG) every second and at the end")
        ->type_name("FILE");
    app.add_flag("--no-tray", program.no_tray, "minimise instead of hiding in the notification area");
    app.add_flag("--autopilot", program.autopilot,
                 "press the start button, and the install button once complete (demos)");
}

std::optional<int> ProgramCommandLine::Parse(int argc, char** argv) {
    if (const std::optional<int> exit_code = CliCommandLine::Parse(argc, argv)) return exit_code;
    if (program.folder_opener.empty()) {
        std::fprintf(stderr, "zephyrloader: --folder-opener wants a command\n");
        return cli::kExitUsage;
    }
    program.common = options;
    return std::nullopt;
}

}  // namespace zl::app::window
