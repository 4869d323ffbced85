#include "tools/zlfetch/listen_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zlfetch {
namespace {

// Binds (and listens, so a port someone listens on shows as taken); returns
// the bound port or -errno.
int TryListen(uint32_t address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    const int one = 1;
    // The engine sets the same option: a port held only by closing connections is free to it.
    if (port != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    int result = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 1) != 0) {
        result = -errno;
    } else {
        socklen_t length = sizeof sa;
        result = ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0 ? ntohs(sa.sin_port) : -errno;
    }
    ::close(fd);
    return result;
}

}  // namespace

bool ListenPortFree(uint32_t address, int port, std::string* why) {
    const int result = TryListen(address, port);
    if (result > 0) return true;
    if (result == -EADDRINUSE) {
        *why = "in use";
    } else if (result == -EADDRNOTAVAIL) {
        *why = "the address is not one of this machine's";
    } else if (result == -EACCES) {
        *why = "not allowed (a port below 1024 needs privileges)";
    } else {
        *why = std::strerror(-result);
    }
    return false;
}

int PickFreeListenPort(uint32_t address) {
    const int port = TryListen(address, 0);
    return port > 0 ? port : 0;
}

}  // namespace zlfetch
