#include "app/opener.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace zl::app {

std::string ShellErrorText(int result) {
    switch (result) {
        case 2: return "The specified file was not found.";
        case 3: return "The specified path was not found.";
        case 5: return "The operating system denied access to the specified file.";
        case 8: return "There was not enough memory to complete the operation.";
        case 11: return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
        case 26: return "A sharing violation occurred.";
        case 27: return "The file name association is incomplete or invalid.";
        case 28: return "The DDE transaction could not be completed because the request timed out.";
        case 29: return "The DDE transaction failed.";
        case 30:
            return "The DDE transaction could not be completed because other DDE transactions were being processed.";
        case 31:
            return "There is no application associated with the given file name extension. This error will also be "
                   "returned if you attempt to print a file that is not printable.";
        case 32: return "The specified DLL was not found.";
        default: return "Unknown open failed";
    }
}

std::vector<std::string> SplitCommand(const std::string& command) {
    std::vector<std::string> out;
    std::string word;
    for (char c : command) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) out.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) out.push_back(std::move(word));
    return out;
}

int RunCommand(const std::vector<std::string>& argv, const std::string& workdir, int wait_ms) {
    if (argv.empty()) return -ENOENT;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workdir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -rc;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        int status = 0;
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (w < 0 && errno != EINTR) return -errno;
        if (std::chrono::steady_clock::now() >= deadline) {
            // Still running: it has the file open. The program ends after a
            // launch, so the child is left to run on its own.
            return -1000;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int CommandOpener::Open(const std::string& path, const std::string& workdir) {
    std::vector<std::string> argv = SplitCommand(command_);
    argv.push_back(path);
    const int r = RunCommand(argv, workdir, 3000);
    if (r == 0 || r == -1000) return 33;
    if (r == -ENOENT) return 31;  // no program to open it with
    if (r == -EACCES) return 5;
    if (r == -ENOMEM) return 8;
    if (r == 2) return 2;         // xdg-open: the file does not exist
    if (r == 3) return 31;        // xdg-open: no tool for this kind of file
    return 1;
}

bool CommandShutdown::Schedule(const std::string& message, int delay_seconds) {
    (void)delay_seconds;  // part of the command setting ("+1")
    std::vector<std::string> argv = SplitCommand(command_);
    argv.push_back(message);
    return RunCommand(argv, "", 10000) == 0;
}

}  // namespace zl::app
