// Test support for the HTTP and FTP codec tests against real servers (nginx,
// vsftpd) on loopback: a folder they can read, a server process that is always
// stopped, free ports and a small blocking TCP client with timeouts.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl::test {

// A folder the servers (running as another user) can read.
class ServedDir : public TempDir {
public:
    ServedDir() : TempDir("zl-net-served", TempDirAccess::kReadableByAll) {}
};

inline void WriteFile(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), 0644);
}

// Deterministic, non-repeating test content.
inline std::string TestContent(size_t size) {
    std::string data(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return data;
}

inline bool HaveProgram(const char* path) { return access(path, X_OK) == 0; }

// A loopback address of its own for this test process (127.0.0.2 and up).
inline std::string TestAddress() {
    return "127.0.0." + std::to_string(2 + getpid() % 200);
}

// A port that was free on `address` a moment ago.
inline uint16_t FreePort(const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

// A blocking TCP connection with 5 s send and receive timeouts.
class TestConnection {
public:
    static std::optional<TestConnection> Open(const std::string& address, uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            return std::nullopt;
        }
        return TestConnection(fd);
    }
    TestConnection(TestConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TestConnection& operator=(TestConnection&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~TestConnection() {
        if (fd_ >= 0) close(fd_);
    }

    bool Send(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // Up to `max` bytes; empty at end of stream, on error or timeout.
    std::string Receive(size_t max = 1500) {
        std::string data(max, '\0');
        ssize_t n = recv(fd_, data.data(), max, 0);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    explicit TestConnection(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// A server process started in the foreground and stopped (SIGTERM, then
// SIGKILL) when the object goes.
class TestServer {
public:
    TestServer(std::vector<std::string> argv, const std::string& log_path) {
        pid_ = fork();
        if (pid_ == 0) {
            int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            std::vector<char*> args;
            for (std::string& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;
    // Moving hands over the process; the moved-from object stops nothing.
    TestServer(TestServer&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    TestServer& operator=(TestServer&& other) noexcept {
        std::swap(pid_, other.pid_);
        return *this;
    }
    ~TestServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (WaitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(2),
                    std::chrono::milliseconds(20))) {
            return;
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // Waits until the server accepts connections (up to 5 s).
    bool WaitListening(const std::string& address, uint16_t port) {
        bool listening = false;
        (void)WaitFor(
            [&] {
                if (pid_ <= 0) return true;
                if ((listening = TestConnection::Open(address, port).has_value())) return true;
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;  // it exited: see its log
                return pid_ <= 0;
            },
            std::chrono::seconds(5), std::chrono::milliseconds(20));
        return listening;
    }

private:
    pid_t pid_ = -1;
};

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

// Starts nginx in the foreground serving `folder`/www on address:port, with
// `server_lines` added to its server block and `main_lines` before everything.
inline std::optional<TestServer> StartNginx(const ServedDir& folder, const std::string& address, uint16_t port,
                                            const std::string& server_lines, const std::string& main_lines = "") {
    const std::string tmp = folder / "tmp";
    const std::string conf = main_lines +
        "daemon off;\nmaster_process off;\nuser root;\n"
        "pid " + folder / "nginx.pid" + ";\n"
        "error_log " + folder / "error.log" + " info;\n"
        "events { worker_connections 32; }\n"
        "http {\n"
        "  access_log off;\n"
        "  client_body_temp_path " + tmp + ";\n"
        "  proxy_temp_path " + tmp + ";\n"
        "  fastcgi_temp_path " + tmp + ";\n"
        "  uwsgi_temp_path " + tmp + ";\n"
        "  scgi_temp_path " + tmp + ";\n"
        "  server {\n"
        "    listen " + address + ":" + std::to_string(port) + ";\n"
        "    root " + folder / "www" + ";\n" +
        server_lines +
        "  }\n"
        "}\n";
    WriteFile(folder / "nginx.conf", conf);
    std::filesystem::create_directories(tmp);
    std::optional<TestServer> server;
    server.emplace(std::vector<std::string>{kNginx, "-p", folder.path(), "-c", folder / "nginx.conf", "-e",
                                            folder / "error.log"},
                   folder / "stdout.log");
    if (!server->WaitListening(address, port)) server.reset();
    return server;
}

// Starts vsftpd in the foreground: anonymous, read-only, passive mode only,
// serving `folder`/ftp on address:port, with `extra_lines` added to its configuration.
inline std::optional<TestServer> StartVsftpd(const ServedDir& folder, const std::string& address, uint16_t port,
                                             const std::string& extra_lines) {
    uint16_t pasv = FreePort(address);
    if (pasv > 65500) pasv = 40000;
    std::filesystem::create_directories(folder / "empty");
    const std::string conf =
        "listen=YES\nlisten_ipv6=NO\nbackground=NO\n"
        "listen_address=" + address + "\nlisten_port=" + std::to_string(port) + "\n"
        "anonymous_enable=YES\n"
        "anon_root=" + folder / "ftp" + "\n"
        "local_enable=NO\nwrite_enable=NO\n"
        "pasv_enable=YES\npasv_address=" + address + "\n"
        "pasv_min_port=" + std::to_string(pasv) + "\npasv_max_port=" + std::to_string(pasv + 30) + "\n"
        "port_enable=NO\nsecure_chroot_dir=" + folder / "empty" + "\nseccomp_sandbox=NO\n"
        "xferlog_enable=NO\nsyslog_enable=NO\n" + extra_lines;
    WriteFile(folder / "vsftpd.conf", conf);
    std::optional<TestServer> server;
    server.emplace(std::vector<std::string>{kVsftpd, folder / "vsftpd.conf"}, folder / "vsftpd.log");
    if (!server->WaitListening(address, port)) server.reset();
    return server;
}

}  // namespace zl::test
