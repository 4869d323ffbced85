// Opening a file the way the desktop does (xdg-open by default), and the
// machine's shutdown, each run as a command without a shell. Results follow
// the shell's numbers so that the texts for the user stay the same.
#pragma once
#include <string>
#include <vector>

#include "app/app_services.h"

namespace zl::app {

// The text for a failed open (below 32).
std::string ShellErrorText(int result);
// Splits a command setting at blanks ("xdg-open", "/usr/bin/open --new").
std::vector<std::string> SplitCommand(const std::string& command);

// Runs `command... PATH` in `workdir`. A command still running after a
// moment, or one that ended with 0, opened the file (result 33).
class CommandOpener final : public Opener {
public:
    explicit CommandOpener(std::string command = "xdg-open") : command_(std::move(command)) {}
    int Open(const std::string& path, const std::string& workdir) override;

private:
    std::string command_;
};

// Runs `command... MESSAGE` (default "shutdown -h +1"); true when it ended with 0.
class CommandShutdown final : public ShutdownAction {
public:
    explicit CommandShutdown(std::string command = "shutdown -h +1") : command_(std::move(command)) {}
    bool Schedule(const std::string& message, int delay_seconds) override;

private:
    std::string command_;
};

// Runs argv (no shell) in workdir; the exit status, or -errno when it could
// not start, or -1000 when it is still running after `wait_ms`.
int RunCommand(const std::vector<std::string>& argv, const std::string& workdir, int wait_ms);

}  // namespace zl::app
