// The options of zephyrloader: those of zephyrloader-cli that apply to a
// window, and the window's own.
#pragma once
#include <optional>
#include <string>

#include "app/cli/cli_options.h"

namespace zl::app::window {

struct ProgramOptions {
    cli::CliOptions common;
    std::string screenshot;                 // --screenshot FILE
    std::string folder_opener = "xdg-open";  // --folder-opener CMD
    bool no_tray = false;                   // --no-tray
    bool autopilot = false;                 // --autopilot
};

// zephyrloader's command line: the CLI's options (but --json) and the window's own.
class ProgramCommandLine : public cli::CliCommandLine {
public:
    ProgramCommandLine();
    // Parses the arguments left after Qt took its own; as CliCommandLine::Parse.
    std::optional<int> Parse(int argc, char** argv);

    ProgramOptions program;
};

}  // namespace zl::app::window
