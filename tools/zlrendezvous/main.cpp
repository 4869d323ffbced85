// zlrendezvous: the rendezvous server engines register with to find each
// other behind NAT. One UDP socket; one log line per event on stdout.
//
//   zlrendezvous --bind ADDR --port N [--expire SECONDS]
//
// Port 0 picks a free port; the first line names the bound address and port.
// SIGTERM or SIGINT stops it cleanly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/base/version.h"
#include "engine/udp/udp_consumers.h"
#include "tools/zlrendezvous/rendezvous_server.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

uint64_t NowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec);
}

void Log(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int Usage(const char* why) {
    std::fprintf(stderr, "zlrendezvous: %s\nusage: zlrendezvous --bind ADDR --port N [--expire SECONDS]\n", why);
    return 2;
}

bool ParseNumber(const char* text, long min, long max, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string bind_text;
    long port = -1;
    long expire = 180;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("zlrendezvous: the rendezvous server for the UDP stream\n"
                        "usage: zlrendezvous --bind ADDR --port N [--expire SECONDS]\n"
                        "  --bind ADDR        the address to listen on\n"
                        "  --port N           the UDP port (0: a free one, named on the first line)\n"
                        "  --expire SECONDS   forget an engine this long after its last word (1..86400, default 180)\n"
                        "  --version          print the version and exit\n");
            return 0;
        }
        if (arg == "--version") {
            std::printf("zlrendezvous %s\n", ZL_VERSION_STRING);
            return 0;
        }
        if (i + 1 >= argc) return Usage(("missing value for " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--bind") {
            bind_text = value;
        } else if (arg == "--port") {
            if (!ParseNumber(value, 0, 65535, &port)) return Usage("--port takes 0..65535");
        } else if (arg == "--expire") {
            if (!ParseNumber(value, 1, 86400, &expire)) return Usage("--expire takes 1..86400 seconds");
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    in_addr bind_address{};
    if (bind_text.empty() || inet_pton(AF_INET, bind_text.c_str(), &bind_address) != 1)
        return Usage("--bind takes an IPv4 address");
    if (port < 0) return Usage("--port is required");

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "zlrendezvous: socket: %s\n", std::strerror(errno));
        return 1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = bind_address;
    sa.sin_port = htons(uint16_t(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "zlrendezvous: bind %s:%ld: %s\n", bind_text.c_str(), port, std::strerror(errno));
        ::close(fd);
        return 1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    auto send = [fd](const uint8_t* data, size_t length, uint32_t address, uint16_t to_port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(to_port);
        ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    zl::RendezvousServer server(send, Log, uint64_t(expire));
    Log("zlrendezvous listening on " + zl::FormatEndpoint(sa.sin_addr.s_addr, ntohs(sa.sin_port)));

    uint8_t buffer[zl::kMaxUdpDatagram + 1];
    uint64_t last_expiry = NowSeconds();
    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 1000);
        if (ready > 0) {
            for (;;) {
                sockaddr_in from{};
                socklen_t from_len = sizeof from;
                const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                             reinterpret_cast<sockaddr*>(&from), &from_len);
                if (n < 0) break;
                if (size_t(n) > zl::kMaxUdpDatagram) continue;  // cut short by the buffer: not ours
                server.OnDatagram(buffer, size_t(n), from.sin_addr.s_addr, ntohs(from.sin_port), NowSeconds());
            }
        }
        const uint64_t now = NowSeconds();
        if (now != last_expiry) {
            server.Expire(now);
            last_expiry = now;
        }
    }
    ::close(fd);
    Log("zlrendezvous stopped");
    return 0;
}
