#include "platform/sockets.h"

#include <cstdlib>

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
