// Sockets on Windows: Winsock, each socket's events (WSAEventSelect) in the
// supervisor's one wait; the socket is then non-blocking.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "platform/sockets.h"
#include "platform/sockets_native.h"

namespace {

std::string failure(int code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

// Its own event for the one wait; not inherited by a worker.
Socket* wrap(SOCKET handle, long events) {
    Socket* socket = new (std::nothrow) Socket;
    if (socket != nullptr) socket->event = WSACreateEvent();
    if (socket == nullptr || socket->event == WSA_INVALID_EVENT ||
        WSAEventSelect(handle, socket->event, events) != 0) {
        if (socket != nullptr && socket->event != WSA_INVALID_EVENT) WSACloseEvent(socket->event);
        delete socket;
        closesocket(handle);
        return nullptr;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    socket->handle = handle;
    return socket;
}

}  // namespace

bool socket_system_ready() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

Socket* socket_listen(const std::string& host, uint16_t port, std::string* error) {
    addrinfo* found = socket_resolve(host, port, error);
    if (found == nullptr) return nullptr;
    SOCKET handle = INVALID_SOCKET;
    for (const addrinfo* a = found; a != nullptr && handle == INVALID_SOCKET; a = a->ai_next) {
        handle = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (handle == INVALID_SOCKET) continue;
        // Another process may not take the port over.
        const BOOL on = TRUE;
        setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on);
        if (bind(handle, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            listen(handle, 16) != 0) {
            *error = failure(WSAGetLastError());
            closesocket(handle);
            handle = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    return handle != INVALID_SOCKET ? wrap(handle, FD_ACCEPT) : nullptr;
}

Socket* socket_accept(Socket* listener, std::string* peer) {
    sockaddr_storage address{};
    int size = sizeof address;
    const SOCKET handle = accept(listener->handle, reinterpret_cast<sockaddr*>(&address), &size);
    if (handle == INVALID_SOCKET) return nullptr;
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    *peer = std::string(host) + ":" + service;
    return wrap(handle, FD_READ | FD_WRITE | FD_CLOSE);
}

long socket_read(Socket* socket, char* buffer, size_t size) {
    const int n = recv(socket->handle, buffer, static_cast<int>(size > 65536 ? 65536 : size), 0);
    if (n > 0) return n;
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return -1;
    return 0;
}

long socket_write(Socket* socket, const char* data, size_t size) {
    const int n = send(socket->handle, data, static_cast<int>(size > 65536 ? 65536 : size), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void socket_close(Socket* socket) {
    if (socket == nullptr) return;
    closesocket(socket->handle);
    WSACloseEvent(socket->event);
    delete socket;
}
