#include "app/default_services.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "app/app_log.h"

namespace zl::app {

bool LoggingEventChannel::Start(const std::string&, const std::string&) { return true; }

void LoggingEventChannel::Report(const AppEvent& event) {
    AppLog("event " + std::to_string(event.code) + " " + event.text + (event.file.empty() ? "" : " " + event.file), 28);
    std::lock_guard lock(mutex_);
    codes_.push_back(event.code);
}

std::vector<uint32_t> LoggingEventChannel::Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
}

bool IsExcludedPort(int32_t port) {
    for (int32_t p : {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262})
        if (p == port) return true;
    return false;
}

namespace {

bool PortFree(int32_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int32_t ProbeListenPort(uint32_t random) {
    const int32_t start = 40000 + int32_t(random % 10000);
    int32_t port = start;
    for (int32_t step = 0; step <= 10001; ++step) {
        ++port;
        if (port > 50000) port = 40000;
        if (port == start) break;
        if (IsExcludedPort(port)) continue;
        if (PortFree(port)) return port;
    }
    return 0;
}

int32_t ProbingPortChooser::ChooseAndMap() {
    std::random_device device;
    return ProbeListenPort(device());
}

}  // namespace zl::app
