// What a Socket is on this platform: for the sockets and the one wait.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
struct Socket {
    SOCKET handle = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;  // set on a read, a write, a client, a close
};
#else
struct Socket {
    int fd = -1;
};
#endif

struct addrinfo;
// The system's sockets can be used (Windows: Winsock started, once).
bool socket_system_ready();
// The addresses of host:port to listen on; null with the reason in *error
// (when error is not null). Freed with freeaddrinfo.
addrinfo* socket_resolve(const std::string& host, uint16_t port, std::string* error);
