// What listening takes the same on every system: the address parsed and
// resolved, and whether it is a loopback one.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdlib>
#include <cstring>

#include "platform/sockets.h"
#include "platform/sockets_native.h"

namespace {

bool loopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return std::memcmp(&v6->sin6_addr, one, sizeof one) == 0;
    }
    return false;
}

}  // namespace

addrinfo* socket_resolve(const std::string& host, uint16_t port, std::string* error) {
    if (!socket_system_ready()) {
        if (error != nullptr) *error = "the system's sockets did not start";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int failed = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (failed != 0) {
        if (error != nullptr) *error = gai_strerror(failed);
        return nullptr;
    }
    return found;
}

bool socket_is_loopback(const std::string& host) {
    addrinfo* found = socket_resolve(host, 1, nullptr);
    if (found == nullptr) return false;
    bool all = true;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next)
        all = all && loopback(a->ai_addr);
    freeaddrinfo(found);
    return all;
}

bool socket_address(const std::string& text, std::string* host, uint16_t* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long number = std::strtol(digits.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return false;
    *host = name;
    *port = static_cast<uint16_t>(number);
    return true;
}
