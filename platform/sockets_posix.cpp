// Sockets on POSIX: non-blocking, closed on exec, no SIGPIPE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/sockets.h"
#include "platform/sockets_native.h"

namespace {

Socket* wrap(int fd) {
    Socket* socket = new (std::nothrow) Socket;
    if (socket == nullptr) {
        close(fd);
        return nullptr;
    }
    socket->fd = fd;
    return socket;
}

}  // namespace

bool socket_system_ready() {
    return true;
}

Socket* socket_listen(const std::string& host, uint16_t port, std::string* error) {
    addrinfo* found = socket_resolve(host, port, error);
    if (found == nullptr) return nullptr;
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 16) != 0) {
            *error = std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd >= 0 ? wrap(fd) : nullptr;
}

Socket* socket_accept(Socket* listener, std::string* peer) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int fd = accept4(listener->fd, reinterpret_cast<sockaddr*>(&address), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    *peer = std::string(host) + ":" + service;
    return wrap(fd);
}

long socket_read(Socket* socket, char* buffer, size_t size) {
    const ssize_t n = recv(socket->fd, buffer, size, 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return -1;
    return 0;
}

long socket_write(Socket* socket, const char* data, size_t size) {
    const ssize_t n = send(socket->fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void socket_close(Socket* socket) {
    if (socket == nullptr) return;
    close(socket->fd);
    delete socket;
}
