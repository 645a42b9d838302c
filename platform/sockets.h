// TCP for the station's control port: a listening socket and its clients,
// never blocking, waited on in the supervisor's one wait (wait_for_workers).
// Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Socket;

// What the one wait watches of a socket: readable (a client's line, a new
// client on a listening socket, a close) unless not read, and writable when
// write. A close or an error always wakes it. (Windows wakes once for what
// came, until the socket is read again.)
struct SocketWatch {
    Socket* socket = nullptr;
    bool write = false;
    bool read = true;
};

// "HOST:PORT" ("127.0.0.1:7070", "[::1]:7070", "localhost:7070") split;
// false when it is not of that form or the port is not 1-65535.
bool socket_address(const std::string& text, std::string* host, uint16_t* port);
// Whether every address host names is a loopback one (false when it names
// none).
bool socket_is_loopback(const std::string& host);
// Listens on host:port; null with the system's reason in *error.
Socket* socket_listen(const std::string& host, uint16_t port, std::string* error);
// A client waiting on a listening socket, or null; *peer: its address.
Socket* socket_accept(Socket* listener, std::string* peer);
// > 0 bytes read, 0 when the peer closed (or the connection broke), -1 when
// nothing is there yet.
long socket_read(Socket* socket, char* buffer, size_t size);
// The bytes taken now (0 when none fit), or -1 when the connection broke.
long socket_write(Socket* socket, const char* data, size_t size);
void socket_close(Socket* socket);
