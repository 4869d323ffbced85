// Test support for telemetry: fixture files and the real
// statistics sink (tools/stats-sink) run on a loopback address.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace zl::test {

inline void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// tools/stats-sink on `host`, port chosen by the system; stopped (and reaped) on destruction.
class StatsSink {
public:
    explicit StatsSink(const std::string& log_path, const std::string& mode = "ok",
                       const std::string& host = "127.0.5.1")
        : log_path_(log_path) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string script = std::string(ZL_SOURCE_DIR) + "/tools/stats-sink";
        std::vector<std::string> args = {"python3", script, "--host", host, "--port", "0", "--log", log_path,
                                         "--mode", mode, "--hang-seconds", "20"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        char address[64];
        if (std::sscanf(line.c_str(), "listening %63s %d", address, &port_) != 2) {
            Stop();
            throw std::runtime_error("stats-sink did not start: " + line);
        }
        host_ = address;
    }
    ~StatsSink() { Stop(); }

    int Port() const { return port_; }
    std::string Url(const std::string& path = "/zlsubmit/eventListSubmit") const {
        return "http://" + host_ + ":" + std::to_string(port_) + path;
    }

    // Every JSON line logged so far.
    std::vector<Json::Value> Lines() const {
        std::vector<Json::Value> out;
        std::ifstream in(log_path_);
        std::string line;
        Json::CharReaderBuilder builder;
        while (std::getline(in, line)) {
            Json::Value value;
            std::string errors;
            std::istringstream stream(line);
            if (Json::parseFromStream(builder, stream, &value, &errors)) out.push_back(value);
        }
        return out;
    }
    // The logged events (lines with a code).
    std::vector<Json::Value> Events() const {
        std::vector<Json::Value> out;
        for (auto& line : Lines())
            if (line.isMember("code")) out.push_back(line);
        return out;
    }
    // Waits (up to `limit`) until `count` lines satisfy `pred`; true when they do.
    template <class Pred>
    bool WaitForLines(size_t count, Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        return WaitFor(
            [&] {
                size_t n = 0;
                for (auto& line : Lines()) n += pred(line) ? 1 : 0;
                return n >= count;
            },
            limit, std::chrono::milliseconds(20));
    }
    bool WaitForEvents(size_t count) const {
        return WaitForLines(count, [](const Json::Value& l) { return l.isMember("code"); });
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    std::string log_path_;
    std::string host_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A configuration file with the given batch URLs and the usual keywords.
inline std::string ConfigText(const std::vector<std::string>& batch_urls,
                              const std::string& input_keywords = "DVersion;GameID;GVersion;AppVersion") {
    std::string text = "[SubmitEventDownload]\nSubmitUrl=http://127.0.5.1:1/zlsubmit/eventInfoSubmit\n"
                       "InputDataKeyWord=" + input_keywords + "\nSubmitDataKeyWord=MachId;Mac;OS\n\n"
                       "[SubmitEventDownloadSeveral]\n";
    for (size_t i = 0; i < batch_urls.size(); ++i)
        text += (i == 0 ? std::string("SubmitUrl") : "SubmitUrl" + std::to_string(i)) + "=" + batch_urls[i] + "\n";
    text += "InputDataKeyWord=" + input_keywords + "\nSubmitDataKeyWord=MachId;Mac;OS\n\n"
            "[OsTypeCode]\nWIN_7_SP1=611\nOther=999\n";
    return text;
}

// Fixture inventory: one adapter with a known MAC, a known volume serial.
inline std::string MakeInventoryFixture(const std::string& root) {
    WriteFile(root + "/sys/class/net/lo/type", "772\n");
    WriteFile(root + "/sys/class/net/lo/address", "00:00:00:00:00:00\n");
    WriteFile(root + "/sys/class/net/lo/ifindex", "1\n");
    WriteFile(root + "/sys/class/net/eth0/type", "1\n");
    WriteFile(root + "/sys/class/net/eth0/address", "10:20:30:40:50:60\n");
    WriteFile(root + "/sys/class/net/eth0/ifindex", "2\n");
    WriteFile(root + "/proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU @ 3.00GHz\n");
    WriteFile(root + "/proc/meminfo", "MemTotal:        8000000 kB\nMemFree:  1 kB\n");
    return root;
}

}  // namespace zl::test
