// What a Socket is on this platform: for the sockets and the one wait.
#pragma once

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
