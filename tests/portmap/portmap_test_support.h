// Test support for port mapping: a script server that prints "listening HOST
// PORT" first (the scripted gateway), and a listener that records notifications.
#pragma once
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "portmap/port_forward_engine.h"

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
    std::string Url(const std::string& path) const { return "http://" + host_ + ":" + std::to_string(port_) + path; }
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

class RecordingListener : public IPortForwardListener {
public:
    void OnPortForwardNotification(int code, int32_t param) override {
        std::lock_guard lock(mutex_);
        seen_.emplace_back(code, param);
    }
    std::vector<std::pair<int, int32_t>> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<int32_t> Params(int code) {
        std::vector<int32_t> out;
        for (auto& [c, p] : Seen())
            if (c == code) out.push_back(p);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<int, int32_t>> seen_;
};

// Records the events a component reports.
class EventRecorder {
public:
    std::function<void(const std::string&, const std::string&)> Sink() {
        return [this](const std::string& code, const std::string& text) {
            std::lock_guard lock(mutex_);
            events_.emplace_back(code, text);
        };
    }
    std::vector<std::pair<std::string, std::string>> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> events_;
};

}  // namespace zl::test
