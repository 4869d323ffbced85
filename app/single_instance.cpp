#include "app/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace zl::app {
namespace {

constexpr char kAnswer[] = "RAISED\n";

socklen_t Address(const std::string& name, sockaddr_un* a) {
    std::memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    const std::string full = "zephyrloader-" + name;
    const size_t n = std::min(full.size(), sizeof(a->sun_path) - 2);
    std::memcpy(a->sun_path + 1, full.data(), n);  // sun_path[0] = 0: the abstract namespace
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
}

std::string ExeOf(pid_t pid) {
    char buffer[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : "";
}

// Gone, or a zombie waiting for its parent to collect it.
bool WaitGone(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return true;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
        ::close(fd);
        if (n > 0) {
            buffer[n] = 0;
            const char* close = std::strrchr(buffer, ')');
            if (close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X')) return true;
        }
        ::usleep(10'000);
    }
    return false;
}

}  // namespace

SingleInstance::SingleInstance(std::string name, std::function<void(const std::string&)> on_raise, int timeout_ms)
    : name_(std::move(name)), on_raise_(std::move(on_raise)), timeout_ms_(timeout_ms) {}

SingleInstance::~SingleInstance() {
    if (wake_fd_[1] >= 0) {
        const char b = 'x';
        (void)!::write(wake_fd_[1], &b, 1);
    }
    if (listener_.joinable()) listener_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    for (int fd : wake_fd_)
        if (fd >= 0) ::close(fd);
}

bool SingleInstance::Listen() {
    sockaddr_un a;
    const socklen_t len = Address(name_, &a);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return false;
    }
    if (::pipe2(wake_fd_, O_CLOEXEC) != 0) {
        ::close(fd);
        return false;
    }
    listen_fd_ = fd;
    listener_ = std::thread([this] { Serve(); });
    return true;
}

// Every start is answered as soon as it connects, and the directories are read
// side by side, each with a short limit in all: a client that connects and
// then sends nothing, or a byte at a time, holds up no one else (a later start
// that hears no answer in time would end this instance).
void SingleInstance::Serve() {
    struct Pending {
        int fd;
        std::string cwd;
        std::chrono::steady_clock::time_point deadline;
    };
    constexpr size_t kMaxPending = 32;
    constexpr auto kReadLimit = std::chrono::milliseconds(200);
    std::vector<Pending> pending;
    auto finish = [&](size_t i) {
        std::string cwd = std::move(pending[i].cwd);
        ::close(pending[i].fd);
        pending.erase(pending.begin() + std::ptrdiff_t(i));
        if (const size_t nl = cwd.find('\n'); nl != std::string::npos) cwd.resize(nl);
        if (on_raise_) on_raise_(cwd);
    };
    for (;;) {
        std::vector<pollfd> p = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const Pending& c : pending) {
            p.push_back({c.fd, POLLIN, 0});
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now).count();
            const int wait = int(std::max<int64_t>(left, 0));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if (::poll(p.data(), nfds_t(p.size()), timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        // Pending clients first (their indexes in `p` shift as they finish), newest last.
        for (size_t i = pending.size(); i-- > 0;) {
            Pending& c = pending[i];
            bool done = std::chrono::steady_clock::now() >= c.deadline;
            if (p[2 + i].revents) {
                char buffer[4096];
                const ssize_t n = ::read(c.fd, buffer, sizeof buffer);
                if (n > 0) c.cwd.append(buffer, size_t(n));
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) done = true;
                if (c.cwd.size() >= 4092 || c.cwd.find('\n') != std::string::npos) done = true;
            }
            if (done) finish(i);
        }
        if (p[0].revents & POLLIN) {
            const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) continue;
            (void)!::send(c, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
            if (pending.size() >= kMaxPending) finish(0);  // the oldest goes with what it sent
            pending.push_back({c, std::string(), std::chrono::steady_clock::now() + kReadLimit});
        }
    }
    for (const Pending& c : pending) ::close(c.fd);
}

SingleInstance::Result SingleInstance::Acquire(const std::string& cwd) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Listen()) return Result::kFirst;
        sockaddr_un a;
        const socklen_t len = Address(name_, &a);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return Result::kError;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
            ::close(fd);  // the holder just went away: try to take the name again
            ::usleep(50'000);
            continue;
        }
        const std::string message = cwd.substr(0, 4092) + "\n";
        (void)!::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        std::string answer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
        for (;;) {
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, size_t(n));
            if (answer.find('\n') != std::string::npos) break;
        }
        if (answer == kAnswer) {
            ::close(fd);
            return Result::kHandedOver;
        }
        // No answer: end the holder only when it is this program of this user.
        ucred cred{};
        socklen_t cred_len = sizeof cred;
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0 && cred.pid > 0;
        ::close(fd);
        if (known && ExeOf(cred.pid).empty()) {
            ::usleep(50'000);  // the holder is going (or its /proc entry is briefly unreadable): look again
            continue;
        }
        if (!known || cred.uid != ::getuid() || cred.pid == ::getpid() || ExeOf(cred.pid) != ExeOf(::getpid())) {
            detail_ = known ? "pid " + std::to_string(cred.pid) + " uid " + std::to_string(cred.uid) + " exe " +
                                  ExeOf(cred.pid)
                            : "holder unknown";
            return Result::kOtherRunning;
        }
        ::kill(cred.pid, SIGKILL);
        if (!WaitGone(cred.pid, 5000)) return Result::kError;
        replaced_pid_ = cred.pid;
        // Its last thread may still hold the socket for a moment after the process is gone.
        for (int waited = 0; waited < 2000; waited += 20) {
            if (Listen()) return Result::kReplaced;
            ::usleep(20'000);
        }
    }
    return Result::kError;
}

}  // namespace zl::app
