// A scripted BitTorrent remote for peer tests: a real TCP endpoint on a
// loopback address of the test's block that accepts one connection, reads
// what our peer sends (the preamble, the handshake, messages) and answers as
// the test says: honest blocks for requests, or whatever hostile bytes a case
// needs. Single-threaded: the test pumps it between the peer's passes.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/net/bt_wire.h"

namespace zl::test {

// A port on `address` that nothing listens on right now.
inline uint16_t FreePort(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

class ScriptedRemote {
public:
    struct Message {
        uint8_t id = 0;
        std::string payload;
    };

    // Listens on `address` ("127.0.4.x"), port chosen by the system.
    explicit ScriptedRemote(const std::string& address) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        address_ = a.sin_addr.s_addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0) return;
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~ScriptedRemote() {
        CloseConnection();
        if (listener_ >= 0) ::close(listener_);
    }
    ScriptedRemote(const ScriptedRemote&) = delete;
    ScriptedRemote& operator=(const ScriptedRemote&) = delete;

    uint32_t address() const { return address_; }
    uint16_t port() const { return port_; }
    bool connected() const { return fd_ >= 0; }

    // Reads what arrived; answers the handshake and requests as configured.
    void Pump() {
        if (fd_ < 0 && !closed_) {
            fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd_ >= 0) {
                ++accepted;
                const int one = 1;
                ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
        }
        if (fd_ < 0) return;
        Flush();
        uint8_t buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                in_.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
                continue;
            }
            if (n == 0) peer_closed = true;
            break;
        }
        Parse();
    }

    // Queues bytes for the peer; they go out as its socket takes them.
    void Send(const std::string& bytes) {
        out_ += bytes;
        Flush();
    }
    void Flush() {
        while (fd_ >= 0 && !out_.empty()) {
            const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            out_.erase(0, static_cast<size_t>(n));
        }
    }
    void Send(const std::vector<uint8_t>& bytes) { Send(std::string(bytes.begin(), bytes.end())); }
    void CloseConnection() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        out_.clear();
    }
    // Closes the connection and refuses to take another one.
    void CloseForGood() {
        CloseConnection();
        closed_ = true;
    }
    // Accepts connections again (after CloseForGood), with fresh state.
    void Reopen() {
        closed_ = false;
        in_.clear();
        got_handshake = false;
        preamble.clear();
        messages.clear();
        peer_closed = false;
    }

    // What our peer sent.
    bool got_handshake = false;
    std::string preamble;
    std::string handshake;
    std::vector<Message> messages;
    bool peer_closed = false;
    int accepted = 0;

    // How to answer: the handshake to send back (empty: none) and the bytes
    // that follow it; honest serving of requests from `content`.
    std::string reply_handshake;
    std::string after_handshake;
    bool serve = false;
    std::string content;
    int64_t piece_length = 0;
    // Requests answered with these bytes instead of the honest block (once each).
    std::vector<std::string> hostile_answers;
    int served = 0;

    int Count(uint8_t id) const {
        int n = 0;
        for (const Message& m : messages) n += m.id == id ? 1 : 0;
        return n;
    }

private:
    void Parse() {
        if (!got_handshake) {
            size_t length = 0;
            const auto found = bt::FindPreamble(reinterpret_cast<const uint8_t*>(in_.data()), in_.size(), &length);
            if (found == bt::Preamble::kNeedMore) return;
            if (found == bt::Preamble::kFound) {
                preamble = in_.substr(0, length);
                in_.erase(0, length);
            }
            if (in_.size() < bt::kHandshakeSize) return;
            handshake = in_.substr(0, bt::kHandshakeSize);
            in_.erase(0, bt::kHandshakeSize);
            got_handshake = true;
            if (!reply_handshake.empty()) Send(reply_handshake + after_handshake);
        }
        for (;;) {
            const bt::Frame f = bt::ReadFrame(reinterpret_cast<const uint8_t*>(in_.data()), in_.size());
            if (f.status != bt::Frame::kComplete) return;
            if (!f.keep_alive) {
                Message m;
                m.id = f.id;
                m.payload.assign(reinterpret_cast<const char*>(f.payload), f.payload_size);
                messages.push_back(m);
                if (f.id == bt::kRequest && serve) Answer(f);
            } else {
                messages.push_back(Message{255, {}});
            }
            in_.erase(0, f.size);
        }
    }
    void Answer(const bt::Frame& f) {
        bt::BlockRef ref;
        if (!bt::ParseBlockRef(f, &ref)) return;
        // A hostile answer goes first; the honest block still follows, so
        // a download that skips the bad message can complete.
        if (!hostile_answers.empty()) {
            Send(hostile_answers.front());
            hostile_answers.erase(hostile_answers.begin());
        }
        const int64_t at = static_cast<int64_t>(ref.index) * piece_length + ref.begin;
        if (at < 0 || at + ref.length > static_cast<int64_t>(content.size())) return;
        std::vector<uint8_t> out;
        bt::AppendPieceHeader(out, ref.index, ref.begin, ref.length);
        out.insert(out.end(), content.begin() + at, content.begin() + at + ref.length);
        Send(out);
        ++served;
    }

    int listener_ = -1;
    int fd_ = -1;
    bool closed_ = false;
    uint32_t address_ = 0;
    uint16_t port_ = 0;
    std::string in_;
    std::string out_;
};

}  // namespace zl::test
