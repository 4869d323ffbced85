// One running program per installation id. The first instance listens on an
// abstract Unix socket named from the id and answers each later start from a
// listener thread of its own (so a busy start-up never delays the answer);
// a later start hands over its current directory, sees the answer and ends.
// A first instance that does not answer within the time limit is ended, but
// only when it is verifiably this program run by the same user.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zl::app {

class SingleInstance {
public:
    enum class Result {
        kFirst,         // this process is the instance now
        kHandedOver,    // a running instance answered: end this process
        kReplaced,      // a hung instance of ours was ended; this process is the instance
        kOtherRunning,  // something that is not ours holds the name and does not answer
        kError,
    };

    // `on_raise(cwd)` runs on the listener thread for every later start.
    SingleInstance(std::string name, std::function<void(const std::string& cwd)> on_raise,
                   int answer_timeout_ms = 1000);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Result Acquire(const std::string& cwd);
    // The pid of the instance that was ended by the last Acquire (kReplaced).
    int ReplacedPid() const { return replaced_pid_; }
    // Who holds the name, when it is not ours (kOtherRunning).
    const std::string& Detail() const { return detail_; }

private:
    bool Listen();
    void Serve();

    std::string name_;
    std::function<void(const std::string&)> on_raise_;
    int timeout_ms_;
    int listen_fd_ = -1;
    int wake_fd_[2] = {-1, -1};
    std::thread listener_;
    int replaced_pid_ = 0;
    std::string detail_;
};

}  // namespace zl::app
