// A task for tracker peer tests, and scripted trackers on 127.0.3.x: an HTTP
// tracker that answers one request with canned bytes, and a UDP tracker the
// test answers datagram by datagram.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/tracker_peer.h"
#include "fake_peer_task.h"

namespace zl::test {

inline uint32_t Ip4(const char* dotted) { return inet_addr(dotted); }

class TrackerTestTask : public FakePeerTask, public ITrackerTask {
public:
    TrackerTestTask() : FakePeerTask(4, 32768) {
        facts.has_torrent = true;
        for (int i = 0; i < 20; ++i) facts.info_hash[i] = static_cast<uint8_t>(0xA0 + i);
        facts.escaped_info_hash = "%a0%a1";
        facts.torrent_text = "d8:announce...e";
        facts.listen_port = 6881;
        facts.uploaded = 5;
        facts.downloaded = 7;
        facts.left = 131072;
        facts.has_peer_id = true;
        facts.peer_id = {0x00, 0x01, 'Z', 'l', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    }
    void AddCandidate(TPeerId* identity) override {
        if (identity) candidates.push_back(*identity);
    }
    bool AnnounceFacts(TrackerAnnounceFacts* out) override {
        *out = facts;
        return facts.has_torrent;
    }
    void NoteTrackerAnswer(const TPeerId&, const TrackerAnswerFigures& f) override {
        ++answers;
        figures = f;
    }

    struct Seen {
        std::string text;
        uint32_t address;
        int32_t port;
        PeerIdBytes peer_id;
        int32_t kind;
        Seen(const TPeerId& id) : text(id.text), address(id.address), port(id.port), peer_id(id.peer_id), kind(id.kind) {}
    };
    TrackerAnnounceFacts facts;
    std::vector<Seen> candidates;
    int answers = 0;
    TrackerAnswerFigures figures;
};

// Accepts connections on 127.0.3.10 (or the given address) one after
// another: reads each request up to its blank line, writes `reply`, closes.
class ScriptedHttpTracker {
public:
    explicit ScriptedHttpTracker(std::string reply, const char* address = "127.0.3.10") : reply_(std::move(reply)) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = Ip4(address);
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_fd_, 4);
        socklen_t size = sizeof a;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedHttpTracker() {
        stop_ = true;
        thread_.join();
        ::close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    std::string request() {
        std::lock_guard lock(mutex_);
        return request_;
    }
    int requests() const { return requests_.load(); }

private:
    void Serve() {
        while (!stop_) ServeOne();
    }
    void ServeOne() {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) return;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        std::string got;
        char buffer[4096];
        while (!stop_ && got.find("\r\n\r\n") == std::string::npos) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        {
            std::lock_guard lock(mutex_);
            request_ = got;
        }
        ++requests_;
        ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        ::close(fd);
    }

    std::string reply_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::string request_;
    std::atomic<int> requests_{0};
};

inline std::string HttpReply(const std::string& status, const std::string& body, bool with_length = true) {
    std::string r = "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\n";
    if (with_length) r += "Content-Length:  " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

inline std::string Compact(std::initializer_list<std::pair<const char*, uint16_t>> peers) {
    std::string out;
    for (auto [ip, port] : peers) {
        const uint32_t a = Ip4(ip);
        out.append(reinterpret_cast<const char*>(&a), 4);
        out.push_back(static_cast<char>(port >> 8));
        out.push_back(static_cast<char>(port & 0xFF));
    }
    return out;
}

}  // namespace zl::test
