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

// Parses the arguments left after Qt took its own; nullopt with `error` set on bad input.
std::optional<ProgramOptions> ParseProgramOptions(int argc, char** argv, std::string* error);
const char* ProgramUsage();

}  // namespace zl::app::window
