// A test server run as a child process (a script) that prints "listening
// HOST PORT" once it accepts; stopped with SIGTERM when the object goes.
#pragma once
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace zl::test {

class ScriptServer {
public:
    explicit ScriptServer(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        char host[64];
        if (std::sscanf(line.c_str(), "listening %63s %d", host, &port_) != 2) {
            Stop();
            throw std::runtime_error("server did not start: " + line);
        }
        host_ = host;
    }
    ~ScriptServer() { Stop(); }
    std::string Url(const std::string& path, const std::string& scheme = "http") const {
        return scheme + "://" + host_ + ":" + std::to_string(port_) + path;
    }
    int Port() const { return port_; }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    std::string host_;
    int port_ = 0;
};

}  // namespace zl::test
