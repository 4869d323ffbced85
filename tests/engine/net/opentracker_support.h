// A real opentracker for tests: started on free ports of 127.0.3.50 with a
// one-torrent whitelist, and stopped (its pid only) when the object goes.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/wait_for.h"

namespace zl::test {

inline bool HaveOpenTracker() { return ::access("/usr/bin/opentracker", X_OK) == 0; }

inline constexpr const char* kTrackerAddress = "127.0.3.50";

inline uint16_t FreeTrackerPort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(kTrackerAddress);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

// One HTTP exchange with the tracker; the reply, or "" when it could not be had.
inline std::string TrackerHttpGet(uint16_t port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr(kTrackerAddress);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

inline bool TcpReachable(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr(kTrackerAddress);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class OpenTracker {
public:
    explicit OpenTracker(const std::string& whitelisted_hex) {
        char templ[] = "/tmp/zl-tr-opentracker-XXXXXX";
        dir_ = ::mkdtemp(templ);
        ::chmod(dir_.c_str(), 0755);  // the tracker reads its list as "nobody"
        std::ofstream(dir_ + "/whitelist.txt") << whitelisted_hex << "\n";
        tcp_port_ = FreeTrackerPort(SOCK_STREAM);
        udp_port_ = FreeTrackerPort(SOCK_DGRAM);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int log = ::open((dir_ + "/../" + std::filesystem::path(dir_).filename().string() + ".log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            const std::string tcp = std::to_string(tcp_port_), udp = std::to_string(udp_port_);
            ::execl("/usr/bin/opentracker", "opentracker", "-i", kTrackerAddress, "-p", tcp.c_str(), "-P", udp.c_str(),
                    "-d", dir_.c_str(), "-u", "nobody", "-w", "/whitelist.txt", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        up_ = WaitFor([&] { return TcpReachable(tcp_port_); }, std::chrono::seconds(3), std::chrono::milliseconds(10));
    }
    // The whitelist is read in the background after start-up: wait until a
    // listed torrent is served, then take the probing peer away again.
    bool WaitListed(const std::string& escaped_hash) {
        const std::string target = "/announce?info_hash=" + escaped_hash +
                                   "&peer_id=-ZL0000-000000000000&port=1&uploaded=0&downloaded=0&left=0&event=";
        if (!WaitFor(
                [&] {
                    const std::string reply = TrackerHttpGet(tcp_port_, target + "started");
                    return reply.find("200 OK") != std::string::npos && reply.find("failure reason") == std::string::npos;
                },
                std::chrono::seconds(3), std::chrono::milliseconds(10))) {
            return false;
        }
        TrackerHttpGet(tcp_port_, target + "stopped");
        return true;
    }
    ~OpenTracker() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        std::filesystem::remove(dir_ + ".log", ec);
    }
    // The ports of the peers the tracker lists for a torrent, as a probing
    // peer (which takes itself away again) is told them.
    std::string ListedPeers(const std::string& escaped_hash) {
        const std::string target = "/announce?info_hash=" + escaped_hash +
                                   "&peer_id=-ZL0000-111111111111&port=2&uploaded=0&downloaded=0&left=0&compact=1&numwant=50&event=";
        const std::string reply = TrackerHttpGet(tcp_port_, target + "started");
        TrackerHttpGet(tcp_port_, target + "stopped");
        const size_t body = reply.find("\r\n\r\n");
        return body == std::string::npos ? std::string() : reply.substr(body + 4);
    }
    bool up() const { return up_; }
    uint16_t tcp_port() const { return tcp_port_; }
    uint16_t udp_port() const { return udp_port_; }

private:
    std::string dir_;
    uint16_t tcp_port_ = 0, udp_port_ = 0;
    pid_t pid_ = -1;
    bool up_ = false;
};

inline std::string Hex(const std::array<uint8_t, 20>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

}  // namespace zl::test
