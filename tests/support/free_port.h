// A TCP port nobody listens on at a loopback address just now (the kernel's
// choice for a socket bound to port 0, released at once).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zl::test {

inline int FreeTcpPort(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(address);
    socklen_t n = sizeof sa;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n) == 0;
    ::close(fd);
    return ok ? ntohs(sa.sin_port) : 0;
}

}  // namespace zl::test
